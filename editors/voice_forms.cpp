#include "editors/voice_forms.h"

namespace thumpa {

namespace {

// The record field an edit control is bound to.
// The field `Field` of the record `Record` of the bank's parameters.
template <auto Record, auto Field>
std::int32_t& param(BankParams& p) {
  return (p.*Record).*Field;
}

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
     {{1036, FieldKind::integer, param<&BankParams::blipp, &BlippParams::start_freq>},
      {1037, FieldKind::integer, param<&BankParams::blipp, &BlippParams::stop_freq>},
      {1038, FieldKind::fraction, param<&BankParams::blipp, &BlippParams::freq_decay>},
      {1039, FieldKind::fraction, param<&BankParams::blipp, &BlippParams::decay>}},
     {1040, 1041, 1058},
     false,
     600},
    {VOICE_CLAVE,
     "EditBox",
     "Edit Clave",
     {{1030, "Freq"}, {1031, "Decay"}, {1032, ""}, {1033, ""}, {1034, ""}, {1035, ""}},
     {{1036, FieldKind::integer, param<&BankParams::clave, &ClaveParams::freq>},
      {1037, FieldKind::fraction, param<&BankParams::clave, &ClaveParams::decay>}},
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
     {{1036, FieldKind::integer, param<&BankParams::closed, &HatParams::filter_freq>},
      {1037, FieldKind::integer, param<&BankParams::closed, &HatParams::resonance>},
      {1038, FieldKind::fraction, param<&BankParams::closed, &HatParams::decay>}},
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
     {{1036, FieldKind::integer, param<&BankParams::kick, &KickParams::a_freq>},
      {1037, FieldKind::integer, param<&BankParams::kick, &KickParams::start_freq>},
      {1038, FieldKind::integer, param<&BankParams::kick, &KickParams::stop_freq>},
      {1039, FieldKind::attack_fraction, param<&BankParams::kick, &KickParams::a_decay>},
      {1040, FieldKind::fraction, param<&BankParams::kick, &KickParams::freq_decay>},
      {1041, FieldKind::fraction, param<&BankParams::kick, &KickParams::decay>},
      {1058, FieldKind::mix, param<&BankParams::kick, &KickParams::mix>}},
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
     {{1036, FieldKind::integer, param<&BankParams::open, &HatParams::filter_freq>},
      {1037, FieldKind::integer, param<&BankParams::open, &HatParams::resonance>},
      {1038, FieldKind::fraction, param<&BankParams::open, &HatParams::decay>}},
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
     {{1036, FieldKind::fraction, param<&BankParams::snare, &SnareParams::noise_decay>},
      {1037, FieldKind::integer, param<&BankParams::snare, &SnareParams::freq1>},
      {1038, FieldKind::integer, param<&BankParams::snare, &SnareParams::freq2>},
      {1039, FieldKind::fraction, param<&BankParams::snare, &SnareParams::decay>},
      {1040, FieldKind::integer, param<&BankParams::snare, &SnareParams::filter_freq>},
      {1041, FieldKind::integer, param<&BankParams::snare, &SnareParams::resonance>},
      {1058, FieldKind::mix, param<&BankParams::snare, &SnareParams::mix>}},
     {},
     false,
     40048},
    {VOICE_COWBELL,
     "EditBox",
     "Edit Cowbell",
     {{1030, "Freq"}, {1031, "Decay"}, {1032, "Dist"}, {1033, ""}, {1034, ""}, {1035, ""}},
     {{1036, FieldKind::integer, param<&BankParams::cowbell, &CowbellParams::freq>},
      {1037, FieldKind::fraction, param<&BankParams::cowbell, &CowbellParams::decay>},
      {1038, FieldKind::cowbell_dist, param<&BankParams::cowbell, &CowbellParams::dist>}},
     {1039, 1040, 1041, 1058},
     false,
     40049},
    {VOICE_OSCILLATOR,
     "EditOscBox",
     "Edit Oscillator",
     {},
     {{1076, FieldKind::integer, param<&BankParams::osc, &OscParams::freq>},
      {1075, FieldKind::pulse_width, param<&BankParams::osc, &OscParams::pulse_width>},
      {1074, FieldKind::integer, param<&BankParams::osc, &OscParams::freq_hi>},
      {1073, FieldKind::integer, param<&BankParams::osc, &OscParams::freq_lo>},
      {1051, FieldKind::integer, param<&BankParams::osc, &OscParams::resonance>},
      {1054, FieldKind::envelope_fraction, param<&BankParams::osc, &OscParams::dcf_attack>},
      {1058, FieldKind::envelope_fraction, param<&BankParams::osc, &OscParams::dcf_release>},
      {1077, FieldKind::envelope_fraction, param<&BankParams::osc, &OscParams::dca_attack>},
      {1052, FieldKind::integer, param<&BankParams::osc, &OscParams::dca_sustain>},
      {1050, FieldKind::envelope_fraction, param<&BankParams::osc, &OscParams::dca_release>}},
     {},
     true,
     608},
};

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
