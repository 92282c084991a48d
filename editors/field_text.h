// The text forms of the editors' fields: how each kind of field is shown in its edit control
// and how the edit text is read back. Pure functions, no widgets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "synth/record_fields.h"

namespace thumpa {

// How each kind of field shows (FieldKind, beside each field in the field tables):
// integer: unsigned decimal; unsigned translation, untranslatable text is ignored.
// fraction: "%7.5f" of value / 2^31; fraction rule, bound 1.0.
// attack_fraction: "%7.5f" as fraction; fraction rule, bound 10.0 (the Kick's "ADecay").
// mix: "%6.4f"; fraction rule without a bound.
// cowbell_dist: "%8.5f" of the plain integer; taken when 0 < v < 100, truncated.
// envelope_fraction: "%7.6f" of value / 2^31; fraction rule, bound 1.0.
// pulse_width: "%7.5f" of the unsigned value / 2^31; fraction rule, bound 1.0.
// dist_level: "%6.4f" of value / 2^31; fraction rule, bound 1.0.

// At most this many characters of an edit control's text are read.
inline constexpr std::size_t MAX_FIELD_TEXT = 254;

// The text a field of the kind shows for its stored value.
std::string show_field(FieldKind kind, std::int32_t value);

// The stored value after reading the text back into a field that held `current`.
std::int32_t read_field(FieldKind kind, std::string_view text, std::int32_t current);

// The unsigned translation of integer fields: leading blanks, then decimal digits up to the
// end of the text, at most 4294967295. Anything else (empty text, a sign, a blank or any other
// character after the digits) does not translate.
std::optional<std::uint32_t> translate_unsigned(std::string_view text);

// The number in a fraction field's text: nothing for empty text; otherwise the longest prefix
// after leading blanks that reads as a decimal number (sign, digits, decimal point, exponent),
// 0 when there is none. Only the first MAX_FIELD_TEXT characters count.
std::optional<double> read_number(std::string_view text);

// printf's "%W.Pf" for finite values, independent of the program's locale.
std::string fixed_text(double value, int width, int precision);

}  // namespace thumpa
