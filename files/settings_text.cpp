// The text of the settings file and the scanner that reads it back.
#include <array>
#include <cstdint>
#include <limits>

#include "files/settings_file.h"

namespace thumpa {

namespace {

// Every section of the file in order: its header and the addresses of its fields in the order
// of its lines (which is not always the order of the record: the Snare's freq2 comes before
// its decay). One table for writing and reading keeps the two in step.
template <typename Params, typename Section>
void visit_sections(Params& p, Section&& section) {
  section("Kick:",
          std::array{&p.kick.sample_rate, &p.kick.a_freq, &p.kick.a_decay, &p.kick.start_freq,
                     &p.kick.stop_freq, &p.kick.freq_decay, &p.kick.decay, &p.kick.mix});
  section("Snare:",
          std::array{&p.snare.sample_rate, &p.snare.noise_decay, &p.snare.freq1, &p.snare.freq2,
                     &p.snare.decay, &p.snare.filter_freq, &p.snare.resonance, &p.snare.mix});
  section("Closed:", std::array{&p.closed.sample_rate, &p.closed.filter_freq, &p.closed.resonance,
                                &p.closed.decay});
  section("Open:",
          std::array{&p.open.sample_rate, &p.open.filter_freq, &p.open.resonance, &p.open.decay});
  section("Blipp:", std::array{&p.blipp.sample_rate, &p.blipp.start_freq, &p.blipp.stop_freq,
                               &p.blipp.freq_decay, &p.blipp.decay});
  section("Clave:", std::array{&p.clave.sample_rate, &p.clave.freq, &p.clave.decay});
  section("Cowbell:",
          std::array{&p.cowbell.sample_rate, &p.cowbell.freq, &p.cowbell.decay, &p.cowbell.dist});
  section("Oscillator:",
          std::array{&p.osc.sample_rate, &p.osc.freq, &p.osc.wave, &p.osc.pulse_width,
                     &p.osc.dca_attack, &p.osc.dca_sustain, &p.osc.dca_release, &p.osc.dcf_attack,
                     &p.osc.dcf_release, &p.osc.freq_hi, &p.osc.freq_lo, &p.osc.resonance});
  // Four lines per slot, all sixteen slots, including those that belong to no voice.
  std::array<decltype(&p.shaping.dist_level[0]), 4 * SHAPING_SLOTS> shaping{};
  for (int i = 0; i < SHAPING_SLOTS; ++i) {
    shaping[4 * i + 0] = &p.shaping.dist_level[i];
    shaping[4 * i + 1] = &p.shaping.dist_type[i];
    shaping[4 * i + 2] = &p.shaping.normalize_before[i];
    shaping[4 * i + 3] = &p.shaping.normalize_after[i];
  }
  section("Dist/Norm:", shaping);
}

// The headers of the first four sections are read as any word; the others must match.
constexpr int ANY_WORD_HEADERS = 4;

// A read position in the text and the four scanning steps on it. A step that fails moves
// past nothing it could not take, and the next step starts where it stopped.
struct Scanner {
  std::string_view text;
  std::size_t pos = 0;

  static bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
  }
  static bool digit(char c) { return c >= '0' && c <= '9'; }

  void skip_blanks() {
    while (pos < text.size() && blank(text[pos])) ++pos;
  }

  // An optional sign and at least one digit; anything else fails and stays unread, the sign
  // included. A number beyond the 32-bit range is not an error: it saturates to INT32_MIN or
  // INT32_MAX, and its whole digit run is consumed so that the next field starts after it.
  bool value(std::int32_t& field) {
    skip_blanks();
    std::size_t p = pos;
    bool negative = false;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
    if (p >= text.size() || !digit(text[p])) return false;
    constexpr std::int64_t LIMIT = std::int64_t{1} << 31;  // |INT32_MIN|: enough to saturate
    std::int64_t magnitude = 0;
    for (; p < text.size() && digit(text[p]); ++p) {
      magnitude = magnitude * 10 + (text[p] - '0');
      if (magnitude > LIMIT) magnitude = LIMIT;
    }
    std::int64_t v = negative ? -magnitude : magnitude;
    if (v > std::numeric_limits<std::int32_t>::max()) v = std::numeric_limits<std::int32_t>::max();
    field = static_cast<std::int32_t>(v);
    pos = p;
    skip_blanks();
    return true;
  }

  // A run of up to 255 non-blank characters, whatever they say; fails only at the end.
  bool word() {
    skip_blanks();
    if (pos >= text.size()) return false;
    std::size_t taken = 0;
    while (pos < text.size() && !blank(text[pos]) && taken < 255) {
      ++pos;
      ++taken;
    }
    skip_blanks();
    return true;
  }

  // The given characters one by one; the matching ones are consumed even when a later one
  // does not match, and the first mismatch stays unread.
  bool literal(std::string_view expected) {
    skip_blanks();
    for (char c : expected) {
      if (pos >= text.size() || text[pos] != c) return false;
      ++pos;
    }
    skip_blanks();
    return true;
  }
};

}  // namespace

std::string settings_text(const BankParams& params) {
  std::string text;
  visit_sections(params, [&](std::string_view header, const auto& fields) {
    if (!text.empty()) text += '\n';  // an empty line between sections
    text += header;
    text += '\n';
    for (const std::int32_t* field : fields) {
      text += std::to_string(*field);
      text += '\n';
    }
  });
  return text;
}

void read_settings_text(std::string_view text, BankParams& params) {
  Scanner in{text};
  int index = 0;
  // The outcome of each step is deliberately ignored: every step is tried in turn.
  visit_sections(params, [&](std::string_view header, const auto& fields) {
    if (index++ < ANY_WORD_HEADERS) {
      in.word();
    } else {
      in.literal(header);
    }
    for (std::int32_t* field : fields) in.value(*field);
  });
}

}  // namespace thumpa
