// How the editors show their fields and read the edit texts back.
#include "editors/field_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace thumpa {
namespace {

constexpr std::int32_t KEEP = 123456789;  // the value the field held before reading

struct ReadCase {
  const char* what;
  FieldKind kind;
  std::string text;
  std::int32_t expected;
};

TEST(ReadField, FollowsTheRuleOfEachKind) {
  const ReadCase cases[] = {
      // Integer: blanks in front and digits only; anything else leaves the field alone.
      {"integer", FieldKind::integer, "300", 300},
      {"integer, leading blanks", FieldKind::integer, "   42", 42},
      {"integer, leading zeros", FieldKind::integer, "007", 7},
      {"integer, the largest", FieldKind::integer, "4294967295", -1},
      {"integer, above 32 bits", FieldKind::integer, "4294967296", KEEP},
      {"integer, empty", FieldKind::integer, "", KEEP},
      {"integer, blanks only", FieldKind::integer, "  ", KEEP},
      {"integer, letters only", FieldKind::integer, "abc", KEEP},
      {"integer, minus sign", FieldKind::integer, "-5", KEEP},
      {"integer, plus sign", FieldKind::integer, "+5", KEEP},
      {"integer, trailing letters", FieldKind::integer, "12abc", KEEP},
      {"integer, trailing blank", FieldKind::integer, "12 ", KEEP},
      {"integer, decimal point", FieldKind::integer, "12.0", KEEP},
      // Fraction, bound 1.0 (strict).
      {"fraction", FieldKind::fraction, "0.5", 1073741823},
      {"fraction, just below 1", FieldKind::fraction, "0.99999", 2147462172},
      {"fraction, 1", FieldKind::fraction, "1", KEEP},
      {"fraction, 1.00000", FieldKind::fraction, "1.00000", KEEP},
      {"fraction, negative", FieldKind::fraction, "-0.5", -1073741823},
      {"fraction, empty", FieldKind::fraction, "", KEEP},
      {"fraction, not a number", FieldKind::fraction, "abc", 0},
      {"fraction, blanks only", FieldKind::fraction, "   ", 0},
      {"fraction, a lone point", FieldKind::fraction, ".", 0},
      {"fraction, trailing text ignored", FieldKind::fraction, " 0.25xyz", 536870911},
      {"fraction, no leading digit", FieldKind::fraction, ".25", 536870911},
      {"fraction, exponent", FieldKind::fraction, "5e-1", 1073741823},
      {"fraction, incomplete exponent", FieldKind::fraction, "0.5e", 1073741823},
      {"fraction, huge", FieldKind::fraction, "1e999", KEEP},
      {"fraction, huge negative", FieldKind::fraction, "-1e999", 0},
      {"fraction, tiny", FieldKind::fraction, "1e-999", 0},
      {"fraction, words are not numbers", FieldKind::fraction, "inf", 0},
      {"fraction, comma is not a point", FieldKind::fraction, "0,5", 0},
      // Kick "ADecay": bound 10.0, values from 1 on wrap.
      {"attack, 9.99", FieldKind::attack_fraction, "9.99", -21474847},
      {"attack, 2", FieldKind::attack_fraction, "2", -2},
      {"attack, 10", FieldKind::attack_fraction, "10", KEEP},
      // Mix: no bound.
      {"mix, 1.5", FieldKind::mix, "1.5", -1073741826},
      {"mix, 1e999 has no value", FieldKind::mix, "1e999", 0},
      {"mix, empty", FieldKind::mix, "", KEEP},
      // Cowbell "Dist": plain number, taken when 0 < v < 100, truncated.
      {"dist, 0.5", FieldKind::cowbell_dist, "0.5", 0},
      {"dist, 99.9", FieldKind::cowbell_dist, "99.9", 99},
      {"dist, shown form", FieldKind::cowbell_dist, " 3.00000", 3},
      {"dist, 0", FieldKind::cowbell_dist, "0", KEEP},
      {"dist, 100", FieldKind::cowbell_dist, "100", KEEP},
      {"dist, -3", FieldKind::cowbell_dist, "-3", KEEP},
      {"dist, letters", FieldKind::cowbell_dist, "abc", KEEP},
      {"dist, empty", FieldKind::cowbell_dist, "", KEEP},
      // The Oscillator's envelope, pulse width and the distortion level: bound 1.0.
      {"envelope", FieldKind::envelope_fraction, "0.9", 1932735282},
      {"envelope, 1", FieldKind::envelope_fraction, "1", KEEP},
      {"pulse width, -0.5", FieldKind::pulse_width, "-0.5", -1073741823},
      {"pulse width, 1.5 refused", FieldKind::pulse_width, "1.50000", KEEP},
      {"dist level", FieldKind::dist_level, "0.2500", 536870911},
      {"dist level, 1", FieldKind::dist_level, "1.0000", KEEP},
  };
  for (const ReadCase& c : cases) {
    EXPECT_EQ(read_field(c.kind, c.text, KEEP), c.expected) << c.what << ": \"" << c.text << "\"";
  }
}

TEST(ReadField, ReadsOnlyTheFirst254Characters) {
  // A number whose digits run past the limit is cut there.
  EXPECT_EQ(read_field(FieldKind::fraction, std::string(252, ' ') + "0.5", KEEP), 0);  // "0."
  EXPECT_EQ(read_field(FieldKind::fraction, std::string(250, ' ') + "0.257", KEEP), 536870911);
  EXPECT_EQ(read_field(FieldKind::fraction, std::string(300, ' '), KEEP), 0);
}

struct ShowCase {
  FieldKind kind;
  std::int32_t value;
  const char* expected;
};

TEST(ShowField, UsesTheFormatOfEachKind) {
  const ShowCase cases[] = {
      {FieldKind::integer, 300, "300"},
      {FieldKind::integer, -1, "4294967295"},
      {FieldKind::fraction, 107374182, "0.05000"},
      {FieldKind::fraction, -1073741823, "-0.50000"},
      {FieldKind::attack_fraction, 107374182, "0.05000"},
      {FieldKind::mix, 644245094, "0.3000"},
      {FieldKind::mix, -1073741826, "-0.5000"},
      {FieldKind::cowbell_dist, 3, " 3.00000"},
      {FieldKind::cowbell_dist, 16, "16.00000"},
      {FieldKind::envelope_fraction, 1932735282, "0.900000"},
      {FieldKind::envelope_fraction, 19327352, "0.009000"},
      {FieldKind::pulse_width, 0x1FFFFFFF, "0.25000"},
      {FieldKind::pulse_width, -1073741823, "1.50000"},
      {FieldKind::dist_level, 1073741823, "0.5000"},
  };
  for (const ShowCase& c : cases) {
    EXPECT_EQ(show_field(c.kind, c.value), c.expected) << c.value;
  }
}

TEST(FixedText, IsIndependentOfTheLocaleAndPadsToWidth) {
  EXPECT_EQ(fixed_text(0.5, 7, 5), "0.50000");
  EXPECT_EQ(fixed_text(0.5, 9, 5), "  0.50000");
  EXPECT_EQ(fixed_text(123.456, 3, 1), "123.5");
  EXPECT_EQ(fixed_text(2.0 / 3.0, 8, 6), "0.666667");
}

}  // namespace
}  // namespace thumpa
