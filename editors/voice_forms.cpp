#include "editors/voice_forms.h"

namespace thumpa {

namespace {

// The record field an edit control is bound to.
#define PARAM(path) [](BankParams& p) -> std::int32_t& { return p.path; }

const VoiceForm FORMS[] = {
    {VOICE_BLIPP,
     "EditBox",
     "Edit Blipp",
     {{1030, "Startfreq"},
      {1031, "Stopfreq"},
      {1032, "Freqdecay"},
      {1033, "Decay"},
      {1034, ""},
      {1035, ""}},
     {{1036, FieldKind::integer, PARAM(blipp.start_freq)},
      {1037, FieldKind::integer, PARAM(blipp.stop_freq)},
      {1038, FieldKind::fraction, PARAM(blipp.freq_decay)},
      {1039, FieldKind::fraction, PARAM(blipp.decay)}},
     {1040, 1041, 1058},
     false,
     600},
    {VOICE_CLAVE,
     "EditBox",
     "Edit Clave",
     {{1030, "Freq"}, {1031, "Decay"}, {1032, ""}, {1033, ""}, {1034, ""}, {1035, ""}},
     {{1036, FieldKind::integer, PARAM(clave.freq)},
      {1037, FieldKind::fraction, PARAM(clave.decay)}},
     {1038, 1039, 1040, 1041, 1058},
     false,
     601},
    {VOICE_CLOSED_HAT,
     "EditBox",
     "Edit Closed Hi-hat",
     {{1030, "Filterfreq"},
      {1031, "Resonance"},
      {1032, "Decay"},
      {1033, ""},
      {1034, ""},
      {1035, ""}},
     {{1036, FieldKind::integer, PARAM(closed.filter_freq)},
      {1037, FieldKind::integer, PARAM(closed.resonance)},
      {1038, FieldKind::fraction, PARAM(closed.decay)}},
     {1039, 1040, 1041, 1058},
     false,
     602},
    {VOICE_KICK,
     "EditBox",
     "Edit Kick",
     {{1030, "AFreq"},
      {1031, "Startfreq"},
      {1032, "Stopfreq"},
      {1033, "ADecay"},
      {1034, "Freqdecay"},
      {1035, "Decay"}},
     {{1036, FieldKind::integer, PARAM(kick.a_freq)},
      {1037, FieldKind::integer, PARAM(kick.start_freq)},
      {1038, FieldKind::integer, PARAM(kick.stop_freq)},
      {1039, FieldKind::attack_fraction, PARAM(kick.a_decay)},
      {1040, FieldKind::fraction, PARAM(kick.freq_decay)},
      {1041, FieldKind::fraction, PARAM(kick.decay)},
      {1058, FieldKind::mix, PARAM(kick.mix)}},
     {},
     false,
     603},
    {VOICE_OPEN_HAT,
     "EditBox",
     "Edit Open Hi-hat",
     {{1030, "Filterfreq"},
      {1031, "Resonance"},
      {1032, "Decay"},
      {1033, ""},
      {1034, ""},
      {1035, ""}},
     {{1036, FieldKind::integer, PARAM(open.filter_freq)},
      {1037, FieldKind::integer, PARAM(open.resonance)},
      {1038, FieldKind::fraction, PARAM(open.decay)}},
     {1039, 1040, 1041, 1058},
     false,
     604},
    {VOICE_SNARE,
     "EditBox",
     "Edit Snare",
     {{1030, "Noise decay"},
      {1031, "Freq1"},
      {1032, "Freq2"},
      {1033, "Decay"},
      {1034, "Filterfreq"},
      {1035, "Resonance"}},
     {{1036, FieldKind::fraction, PARAM(snare.noise_decay)},
      {1037, FieldKind::integer, PARAM(snare.freq1)},
      {1038, FieldKind::integer, PARAM(snare.freq2)},
      {1039, FieldKind::fraction, PARAM(snare.decay)},
      {1040, FieldKind::integer, PARAM(snare.filter_freq)},
      {1041, FieldKind::integer, PARAM(snare.resonance)},
      {1058, FieldKind::mix, PARAM(snare.mix)}},
     {},
     false,
     40048},
    {VOICE_COWBELL,
     "EditBox",
     "Edit Cowbell",
     {{1030, "Freq"}, {1031, "Decay"}, {1032, "Dist"}, {1033, ""}, {1034, ""}, {1035, ""}},
     {{1036, FieldKind::integer, PARAM(cowbell.freq)},
      {1037, FieldKind::fraction, PARAM(cowbell.decay)},
      {1038, FieldKind::cowbell_dist, PARAM(cowbell.dist)}},
     {1039, 1040, 1041, 1058},
     false,
     40049},
    {VOICE_OSCILLATOR,
     "EditOscBox",
     "Edit Oscillator",
     {},
     {{1076, FieldKind::integer, PARAM(osc.freq)},
      {1075, FieldKind::pulse_width, PARAM(osc.pulse_width)},
      {1074, FieldKind::integer, PARAM(osc.freq_hi)},
      {1073, FieldKind::integer, PARAM(osc.freq_lo)},
      {1051, FieldKind::integer, PARAM(osc.resonance)},
      {1054, FieldKind::envelope_fraction, PARAM(osc.dcf_attack)},
      {1058, FieldKind::envelope_fraction, PARAM(osc.dcf_release)},
      {1077, FieldKind::envelope_fraction, PARAM(osc.dca_attack)},
      {1052, FieldKind::integer, PARAM(osc.dca_sustain)},
      {1050, FieldKind::envelope_fraction, PARAM(osc.dca_release)}},
     {},
     true,
     608},
};

#undef PARAM

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

const VoiceForm* voice_form(VoiceId voice) {
  for (const VoiceForm& form : FORMS) {
    if (form.voice == voice) return &form;
  }
  return nullptr;
}

FormState fill_form(const VoiceForm& form, const BankParams& params) {
  FormState state;
  BankParams fields = params;  // the bindings hand out writable references
  for (int id : form.unused_edits) state.texts.emplace(id, "-");
  for (const FieldBinding& binding : form.fields) {
    state.texts[binding.id] = show_field(binding.kind, binding.field(fields));
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
    std::int32_t& field = binding.field(params);
    field = read_field(binding.kind, text_of(state, binding.id), field);
  }
}

}  // namespace thumpa
