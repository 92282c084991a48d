#include "editors/voice_forms.h"

namespace thumpa {

namespace {

// The drum forms' captions come from the field table (see with_captions).
const VoiceForm FORMS[] = {
    {VOICE_BLIPP,
     "EditBox",
     {},
     {{1036, "start_freq"}, {1037, "stop_freq"}, {1038, "freq_decay"}, {1039, "decay"}},
     {1040, 1041, 1058},
     false},
    {VOICE_CLAVE,
     "EditBox",
     {},
     {{1036, "freq"}, {1037, "decay"}},
     {1038, 1039, 1040, 1041, 1058},
     false},
    {VOICE_CLOSED_HAT,
     "EditBox",
     {},
     {{1036, "filter_freq"}, {1037, "resonance"}, {1038, "decay"}},
     {1039, 1040, 1041, 1058},
     false},
    {VOICE_KICK,
     "EditBox",
     {},
     {{1036, "a_freq"},
      {1037, "start_freq"},
      {1038, "stop_freq"},
      {1039, "a_decay"},
      {1040, "freq_decay"},
      {1041, "decay"},
      {1058, "mix"}},
     {},
     false},
    {VOICE_OPEN_HAT,
     "EditBox",
     {},
     {{1036, "filter_freq"}, {1037, "resonance"}, {1038, "decay"}},
     {1039, 1040, 1041, 1058},
     false},
    {VOICE_SNARE,
     "EditBox",
     {},
     {{1036, "noise_decay"},
      {1037, "freq1"},
      {1038, "freq2"},
      {1039, "decay"},
      {1040, "filter_freq"},
      {1041, "resonance"},
      {1058, "mix"}},
     {},
     false},
    {VOICE_COWBELL,
     "EditBox",
     {},
     {{1036, "freq"}, {1037, "decay"}, {1038, "dist"}},
     {1039, 1040, 1041, 1058},
     false},
    {VOICE_OSCILLATOR,
     "EditOscBox",
     {},
     {{1076, "freq"},
      {1075, "pulse_width"},
      {1074, "freq_hi"},
      {1073, "freq_lo"},
      {1051, "resonance"},
      {1054, "dcf_attack"},
      {1058, "dcf_release"},
      {1077, "dca_attack"},
      {1052, "dca_sustain"},
      {1050, "dca_release"}},
     {},
     true},
};

// The six captions above a drum form's first six edits name the fields bound to those edits,
// as the field table captions them (the plugin names its controls by the same captions); a
// caption over an unused edit is cleared.
VoiceForm with_captions(VoiceForm form) {
  if (std::string_view(form.template_name) != "EditBox") return form;
  for (std::size_t i = 0; i < DRUM_CAPTION_IDS.size(); ++i) {
    const char* caption = "";
    for (const FieldBinding& binding : form.fields) {
      const ParamField* f = binding.id == DRUM_EDIT_IDS[i] ? bound_field(form, binding) : nullptr;
      if (f != nullptr && f->control.caption != nullptr) caption = f->control.caption;
    }
    form.captions.emplace_back(DRUM_CAPTION_IDS[i], caption);
  }
  return form;
}

bool is_checked(const FormState& state, int id) {
  const auto it = state.checked.find(id);
  return it != state.checked.end() && it->second;
}

std::string_view text_of(const FormState& state, int id) {
  const auto it = state.texts.find(id);
  return it != state.texts.end() ? std::string_view(it->second) : std::string_view();
}

// The value of the first checked button; `current` when none is checked.
template <std::size_t N>
std::int32_t read_radio(const std::array<RadioValue, N>& buttons, const FormState& state,
                        std::int32_t current) {
  for (const RadioValue& button : buttons) {
    if (is_checked(state, button.id)) return button.value;
  }
  return current;
}

template <std::size_t N>
void show_radio(const std::array<RadioValue, N>& buttons, std::int32_t value, FormState& state) {
  for (const RadioValue& button : buttons) state.checked[button.id] = button.value == value;
}

}  // namespace

const ParamField* bound_field(const VoiceForm& form, const FieldBinding& binding) {
  for (const ParamField& f : record_fields(form.voice)) {
    if (std::string_view(binding.field) == f.name) return &f;
  }
  return nullptr;
}

const VoiceForm* voice_form(VoiceId voice) {
  static const std::vector<VoiceForm> forms = [] {
    std::vector<VoiceForm> made;
    for (const VoiceForm& form : FORMS) made.push_back(with_captions(form));
    return made;
  }();
  for (const VoiceForm& form : forms) {
    if (form.voice == voice) return &form;
  }
  return nullptr;
}

FormState fill_form(const VoiceForm& form, const BankParams& params) {
  FormState state;
  for (int id : form.unused_edits) state.texts.emplace(id, "-");
  for (const FieldBinding& binding : form.fields) {
    if (const ParamField* f = bound_field(form, binding)) {
      state.texts[binding.id] = show_field(f->kind, field_value(*f, params, form.voice));
    }
  }
  if (form.has_wave) show_radio(WAVE_BUTTONS, params.osc.wave, state);
  const ShapingSettings& shaping = params.shaping;
  const int v = form.voice;
  show_radio(DIST_BUTTONS, shaping.dist_type[v], state);
  state.texts[ID_DIST_LEVEL] = show_field(FieldKind::dist_level, shaping.dist_level[v]);
  state.checked[ID_NORMALIZE_BEFORE] = shaping.normalize_before[v] != 0;
  state.checked[ID_NORMALIZE_AFTER] = shaping.normalize_after[v] != 0;
  return state;
}

void write_back(const VoiceForm& form, const FormState& state, BankParams& params) {
  ShapingSettings& shaping = params.shaping;
  const int v = form.voice;
  shaping.dist_level[v] =
      read_field(FieldKind::dist_level, text_of(state, ID_DIST_LEVEL), shaping.dist_level[v]);
  shaping.dist_type[v] = read_radio(DIST_BUTTONS, state, shaping.dist_type[v]);
  shaping.normalize_before[v] = is_checked(state, ID_NORMALIZE_BEFORE) ? 1 : 0;
  shaping.normalize_after[v] = is_checked(state, ID_NORMALIZE_AFTER) ? 1 : 0;
  if (form.has_wave) params.osc.wave = read_radio(WAVE_BUTTONS, state, params.osc.wave);
  for (const FieldBinding& binding : form.fields) {
    if (const ParamField* f = bound_field(form, binding)) {
      std::int32_t& field = f->in(params, form.voice);
      field = read_field(f->kind, text_of(state, binding.id), field);
    }
  }
}

}  // namespace thumpa
