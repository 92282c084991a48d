// What each editor form shows for each voice: the title, the field captions, which record
// field every edit control shows and writes back, the shaping controls, and the play command
// that "Test" sends. The form's contents are kept as plain texts and check marks, so that
// filling and reading back work without widgets.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "editors/field_text.h"
#include "synth/types.h"

namespace thumpa {

// Control ids shared by both forms.
inline constexpr int ID_OK = 1;
inline constexpr int ID_CANCEL = 2;
inline constexpr int ID_APPLY = 1029;
inline constexpr int ID_TEST = 1059;
inline constexpr int ID_NORMALIZE_BEFORE = 1055;
inline constexpr int ID_NORMALIZE_AFTER = 1056;
inline constexpr int ID_NO_DIST = 1045;
inline constexpr int ID_APDIST = 1042;
inline constexpr int ID_ZOGDIST = 1043;
inline constexpr int ID_SURDIST = 1044;
inline constexpr int ID_DIST_LEVEL = 1047;

// The drum form's relabelled captions and its seven edit controls, in read-back order.
inline constexpr std::array<int, 6> DRUM_CAPTION_IDS = {1030, 1031, 1032, 1033, 1034, 1035};
inline constexpr std::array<int, 7> DRUM_EDIT_IDS = {1036, 1037, 1038, 1039, 1040, 1041, 1058};

// The Oscillator form's wave buttons.
inline constexpr int ID_TRI = 1070;
inline constexpr int ID_SAW = 1072;
inline constexpr int ID_PULSE = 1071;

// A radio button and the value it stands for, in the order the buttons are tested.
struct RadioValue {
  int id;
  std::int32_t value;
};
inline constexpr std::array<RadioValue, 4> DIST_BUTTONS = {{{ID_NO_DIST, DIST_NONE},
                                                            {ID_APDIST, DIST_AP},
                                                            {ID_ZOGDIST, DIST_ZOG},
                                                            {ID_SURDIST, DIST_SUR}}};
inline constexpr std::array<RadioValue, 3> WAVE_BUTTONS = {
    {{ID_TRI, WAVE_TRIANGLE}, {ID_SAW, WAVE_SAW}, {ID_PULSE, WAVE_PULSE}}};

// One edit control bound to one field of the voice's record, by the field's name in its table.
struct FieldBinding {
  int id;
  const char* field;
};

struct VoiceForm {
  VoiceId voice;
  const char* template_name;  // "EditBox" or "EditOscBox"
  // Relabelled statics ("" clears one); a drum form's are its fields' captions in the field table.
  std::vector<std::pair<int, const char*>> captions;
  std::vector<FieldBinding> fields;  // in read-back order
  std::vector<int> unused_edits;     // edits that show "-" and are never read
  bool has_wave = false;
};

// The field of the voice's record a binding names; null when the record has no such field.
const ParamField* bound_field(const VoiceForm& form, const FieldBinding& binding);

// The form of a voice (0 to 6 and 8); null for any other value.
const VoiceForm* voice_form(VoiceId voice);

// The contents of a form: edit texts and check marks by control id.
struct FormState {
  std::map<int, std::string> texts;
  std::map<int, bool> checked;
};

// What the form shows when it opens for the voice.
FormState fill_form(const VoiceForm& form, const BankParams& params);

// Writes the form back: distortion level, distortion buttons, normalisation check boxes, the
// wave buttons, then the fields in control order. Texts missing from the state count as empty.
void write_back(const VoiceForm& form, const FormState& state, BankParams& params);

}  // namespace thumpa
