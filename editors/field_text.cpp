#include "editors/field_text.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "synth/types.h"

namespace thumpa {

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// The blanks a number may start with.
bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::size_t count_digits(std::string_view text, std::size_t from) {
  std::size_t i = from;
  while (i < text.size() && is_digit(text[i])) ++i;
  return i - from;
}

// Decimal order of magnitude of an unsigned numeric prefix, enough to tell a value too large
// for a double from one too small when the conversion reports it out of range.
bool magnitude_overflows(std::string_view digits_and_point, std::string_view exponent) {
  bool seen_point = false;
  bool found = false;
  long long before_point = 0;
  long long leading_fraction_zeros = 0;
  for (char c : digits_and_point) {
    if (c == '.') {
      seen_point = true;
    } else if (!seen_point) {
      if (found || c != '0') {
        found = true;
        ++before_point;
      }
    } else if (!found) {
      if (c == '0') {
        ++leading_fraction_zeros;
      } else {
        found = true;
      }
    }
  }
  long long order = before_point > 0 ? before_point : -leading_fraction_zeros;
  long long exp = 0;
  bool exp_negative = false;
  for (char c : exponent) {
    if (c == '-') {
      exp_negative = true;
    } else if (is_digit(c) && exp < 1'000'000'000) {
      exp = exp * 10 + (c - '0');
    }
  }
  order += exp_negative ? -exp : exp;
  return order > 0;
}

}  // namespace

std::optional<std::uint32_t> translate_unsigned(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  const std::size_t digits = count_digits(text, i);
  if (digits == 0 || i + digits != text.size()) return std::nullopt;
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
    if (value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

std::optional<double> read_number(std::string_view text) {
  text = text.substr(0, MAX_FIELD_TEXT);
  if (text.empty()) return std::nullopt;
  std::size_t i = 0;
  while (i < text.size() && is_blank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const std::size_t mantissa_start = i;
  const std::size_t int_digits = count_digits(text, i);
  i += int_digits;
  if (i < text.size() && text[i] == '.') {
    const std::size_t frac_digits = count_digits(text, i + 1);
    if (int_digits + frac_digits == 0) return 0.0;
    i += 1 + frac_digits;
  } else if (int_digits == 0) {
    return 0.0;
  }
  const std::size_t mantissa_end = i;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    const std::size_t exp_digits = count_digits(text, j);
    if (exp_digits > 0) i = j + exp_digits;
  }
  const std::string_view number = text.substr(mantissa_start, i - mantissa_start);
  double value = 0.0;
  const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value,
                                         std::chars_format::general);
  (void)end;
  if (ec == std::errc::result_out_of_range) {
    const std::string_view mantissa = text.substr(mantissa_start, mantissa_end - mantissa_start);
    const std::string_view exponent = text.substr(mantissa_end, i - mantissa_end);
    value = magnitude_overflows(mantissa, exponent) ? HUGE_VAL : 0.0;
  } else if (ec != std::errc()) {
    value = 0.0;
  }
  return negative ? -value : value;
}

std::string fixed_text(double value, int width, int precision) {
  char buffer[400];
  const auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, precision);
  std::string text = ec == std::errc() ? std::string(buffer, end) : std::string();
  if (text.size() < static_cast<std::size_t>(width)) {
    text.insert(0, static_cast<std::size_t>(width) - text.size(), ' ');
  }
  return text;
}

std::string show_field(FieldKind kind, std::int32_t value) {
  constexpr double TWO_31 = 2147483648.0;
  switch (kind) {
    case FieldKind::integer:
    case FieldKind::choice:  // shown by buttons; as a number only where no button fits
    case FieldKind::flag:
      return std::to_string(static_cast<std::uint32_t>(value));
    case FieldKind::fraction:
    case FieldKind::attack_fraction:
      return fixed_text(value / TWO_31, 7, 5);
    case FieldKind::mix:
    case FieldKind::dist_level:
      return fixed_text(value / TWO_31, 6, 4);
    case FieldKind::cowbell_dist:
      return fixed_text(value, 8, 5);
    case FieldKind::envelope_fraction:
      return fixed_text(value / TWO_31, 7, 6);
    case FieldKind::pulse_width:
      return fixed_text(static_cast<std::uint32_t>(value) / TWO_31, 7, 5);
  }
  return {};
}

std::int32_t read_field(FieldKind kind, std::string_view text, std::int32_t current) {
  if (kind == FieldKind::integer || kind == FieldKind::choice || kind == FieldKind::flag) {
    const auto value = translate_unsigned(text);
    return value ? static_cast<std::int32_t>(*value) : current;
  }
  const auto number = read_number(text);
  if (!number) return current;
  const double v = *number;
  switch (kind) {
    case FieldKind::cowbell_dist:
      return v > 0.0 && v < 100.0 ? static_cast<std::int32_t>(v) : current;
    case FieldKind::mix:
      return q31_from_double(v);
    case FieldKind::attack_fraction:
      return v < 10.0 ? q31_from_double(v) : current;
    default:
      return v < 1.0 ? q31_from_double(v) : current;
  }
}

}  // namespace thumpa
