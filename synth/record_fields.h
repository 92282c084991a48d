// Every stored parameter of the program by name: one table per voice record, and one for the
// shaping settings of a voice's slot. Each field is listed once, in the order the settings file
// stores it; the settings file, thumpa-render's --set and the editors' controls all find their
// fields here, and each field carries how a control shows it (caption, range), which the
// editors and the plugin's ports both read.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "synth/types.h"

namespace thumpa {

// What a stored value means, which decides how an editor shows and reads it.
enum class FieldKind {
  integer,            // a plain integer (a frequency, a count, a sample rate)
  fraction,           // a Q31 fraction below 1.0
  attack_fraction,    // a Q31 fraction the editor takes up to 10.0 (the Kick's attack decay)
  mix,                // a Q31 mix weight, taken without a bound
  cowbell_dist,       // the Cowbell's plain divisor, shown as a decimal
  envelope_fraction,  // a Q31 fraction shown with six decimals (the Oscillator's envelopes)
  pulse_width,        // a Q31 fraction read as unsigned
  dist_level,         // a slot's distortion level, a Q31 fraction
  choice,             // one of a few values, chosen with buttons (wave, distortion type)
  flag,               // 0 or 1, a check box
};

// A named value of a choice field.
struct FieldChoice {
  const char* label;
  std::int32_t value;
};

// How a control shows a field: its caption (null for a field no control shows), and the range
// it offers, fractions by their value (stored / 2^31). A logarithmic range starts above 0 and
// its bottom end stands for a stored 0, so that both small fractions and 0 can be set.
struct FieldControl {
  const char* caption = nullptr;
  float minimum = 0;
  float maximum = 0;
  bool logarithmic = false;
  std::span<const FieldChoice> choices = {};  // a choice field's values, in button order
};

struct ParamField {
  const char* name;  // as thumpa-render's --set names it
  FieldKind kind;
  // The field in the bank's parameters; `slot` picks the shaping slot and is ignored by the
  // fields of a voice record.
  std::int32_t& (*in)(BankParams& params, int slot);
  FieldControl control = {};
};

// The fields of the voice's record (VoiceId 7 and values outside 0..8 have none).
std::span<const ParamField> record_fields(VoiceId voice);
// The four shaping settings of a slot.
std::span<const ParamField> shaping_fields();

// A field of the voice's record or of its shaping slot by name; null when there is none.
const ParamField* find_field(VoiceId voice, std::string_view name);

// The stored value of a field, read from parameters that are not written.
inline std::int32_t field_value(const ParamField& field, const BankParams& params, int slot) {
  return field.in(const_cast<BankParams&>(params), slot);
}

}  // namespace thumpa
