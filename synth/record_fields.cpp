#include "synth/record_fields.h"

#include "synth/voices.h"

namespace thumpa {

namespace {

template <auto Record, auto Member>
std::int32_t& record_field(BankParams& p, int) {
  return (p.*Record).*Member;
}

template <auto Member>
std::int32_t& shaping_field(BankParams& p, int slot) {
  return (p.shaping.*Member)[slot];
}

using K = FieldKind;
using B = BankParams;

// Frequencies are sine-table indices; the engine clamps whatever lies beyond.
constexpr float MAX_FREQ = 22049;
constexpr float MAX_RESONANCE = 100;
constexpr float MAX_SUSTAIN = 84000;  // a voice's longest length in samples
// Decays and envelope times: the smallest useful ones are a few hundred-thousandths, so their
// controls are logarithmic from here; the bottom end stores 0.
constexpr float SMALLEST_FRACTION = 0.000001f;

constexpr FieldControl freq(const char* caption, float minimum = 0) {
  return {caption, minimum, MAX_FREQ};
}
constexpr FieldControl resonance() {
  return {"Resonance", 1, MAX_RESONANCE};
}
constexpr FieldControl small_fraction(const char* caption) {
  return {caption, SMALLEST_FRACTION, 1, true};
}
constexpr FieldControl fraction(const char* caption) {
  return {caption, 0, 1};
}

// In the editors' button order.
constexpr FieldChoice DIST_CHOICES[] = {
    {"No dist", DIST_NONE}, {"Apdist", DIST_AP}, {"Zogdist", DIST_ZOG}, {"Surdist", DIST_SUR}};
// The editor offers Tri, Saw and Pulse; the square wave is the engine's too, and a settings
// file may hold it.
constexpr FieldChoice WAVE_CHOICES[] = {
    {"Tri", WAVE_TRIANGLE}, {"Saw", WAVE_SAW}, {"Square", WAVE_SQUARE}, {"Pulse", WAVE_PULSE}};

constexpr ParamField KICK[] = {
    {"sample_rate", K::integer, record_field<&B::kick, &KickParams::sample_rate>},
    {"a_freq", K::integer, record_field<&B::kick, &KickParams::a_freq>, freq("AFreq")},
    {"a_decay", K::attack_fraction, record_field<&B::kick, &KickParams::a_decay>,
     small_fraction("ADecay")},
    {"start_freq", K::integer, record_field<&B::kick, &KickParams::start_freq>, freq("Startfreq")},
    {"stop_freq", K::integer, record_field<&B::kick, &KickParams::stop_freq>, freq("Stopfreq")},
    {"freq_decay", K::fraction, record_field<&B::kick, &KickParams::freq_decay>,
     small_fraction("Freqdecay")},
    {"decay", K::fraction, record_field<&B::kick, &KickParams::decay>, small_fraction("Decay")},
    {"mix", K::mix, record_field<&B::kick, &KickParams::mix>, fraction("Mix")},
};
// The file stores freq2 before decay, unlike the record.
constexpr ParamField SNARE[] = {
    {"sample_rate", K::integer, record_field<&B::snare, &SnareParams::sample_rate>},
    {"noise_decay", K::fraction, record_field<&B::snare, &SnareParams::noise_decay>,
     small_fraction("Noise decay")},
    {"freq1", K::integer, record_field<&B::snare, &SnareParams::freq1>, freq("Freq1")},
    {"freq2", K::integer, record_field<&B::snare, &SnareParams::freq2>, freq("Freq2")},
    {"decay", K::fraction, record_field<&B::snare, &SnareParams::decay>, small_fraction("Decay")},
    {"filter_freq", K::integer, record_field<&B::snare, &SnareParams::filter_freq>,
     freq("Filterfreq", 1)},
    {"resonance", K::integer, record_field<&B::snare, &SnareParams::resonance>, resonance()},
    {"mix", K::mix, record_field<&B::snare, &SnareParams::mix>, fraction("Mix")},
};
// The closed and the open hi-hat share one record type.
template <auto Hat>
constexpr ParamField HAT[] = {
    {"sample_rate", K::integer, record_field<Hat, &HatParams::sample_rate>},
    {"filter_freq", K::integer, record_field<Hat, &HatParams::filter_freq>, freq("Filterfreq", 1)},
    {"resonance", K::integer, record_field<Hat, &HatParams::resonance>, resonance()},
    {"decay", K::fraction, record_field<Hat, &HatParams::decay>, small_fraction("Decay")},
};
constexpr ParamField BLIPP[] = {
    {"sample_rate", K::integer, record_field<&B::blipp, &BlippParams::sample_rate>},
    {"start_freq", K::integer, record_field<&B::blipp, &BlippParams::start_freq>,
     freq("Startfreq")},
    {"stop_freq", K::integer, record_field<&B::blipp, &BlippParams::stop_freq>, freq("Stopfreq")},
    {"freq_decay", K::fraction, record_field<&B::blipp, &BlippParams::freq_decay>,
     small_fraction("Freqdecay")},
    {"decay", K::fraction, record_field<&B::blipp, &BlippParams::decay>, small_fraction("Decay")},
};
constexpr ParamField CLAVE[] = {
    {"sample_rate", K::integer, record_field<&B::clave, &ClaveParams::sample_rate>},
    {"freq", K::integer, record_field<&B::clave, &ClaveParams::freq>, freq("Freq")},
    {"decay", K::fraction, record_field<&B::clave, &ClaveParams::decay>, small_fraction("Decay")},
};
constexpr ParamField COWBELL[] = {
    {"sample_rate", K::integer, record_field<&B::cowbell, &CowbellParams::sample_rate>},
    {"freq", K::integer, record_field<&B::cowbell, &CowbellParams::freq>, freq("Freq")},
    {"decay", K::fraction, record_field<&B::cowbell, &CowbellParams::decay>,
     small_fraction("Decay")},
    {"dist", K::cowbell_dist, record_field<&B::cowbell, &CowbellParams::dist>, {"Dist", 1, 99}},
};
constexpr ParamField OSCILLATOR[] = {
    {"sample_rate", K::integer, record_field<&B::osc, &OscParams::sample_rate>},
    {"freq", K::integer, record_field<&B::osc, &OscParams::freq>, freq("Freq")},
    {"wave",
     K::choice,
     record_field<&B::osc, &OscParams::wave>,
     {"Wave", 1, 4, false, WAVE_CHOICES}},
    {"pulse_width", K::pulse_width, record_field<&B::osc, &OscParams::pulse_width>,
     fraction("Pulse Width")},
    {"dca_attack", K::envelope_fraction, record_field<&B::osc, &OscParams::dca_attack>,
     small_fraction("DCA Attack")},
    {"dca_sustain",
     K::integer,
     record_field<&B::osc, &OscParams::dca_sustain>,
     {"Sustain", 0, MAX_SUSTAIN}},
    {"dca_release", K::envelope_fraction, record_field<&B::osc, &OscParams::dca_release>,
     small_fraction("DCA Release")},
    {"dcf_attack", K::envelope_fraction, record_field<&B::osc, &OscParams::dcf_attack>,
     small_fraction("DCF Attack")},
    {"dcf_release", K::envelope_fraction, record_field<&B::osc, &OscParams::dcf_release>,
     small_fraction("DCF Release")},
    {"freq_hi", K::integer, record_field<&B::osc, &OscParams::freq_hi>, freq("Freq Hi")},
    {"freq_lo", K::integer, record_field<&B::osc, &OscParams::freq_lo>, freq("Freq Lo")},
    {"resonance", K::integer, record_field<&B::osc, &OscParams::resonance>, resonance()},
};
constexpr ParamField SHAPING[] = {
    {"dist_level", K::dist_level, shaping_field<&ShapingSettings::dist_level>,
     fraction("Dist Level")},
    {"dist_type",
     K::choice,
     shaping_field<&ShapingSettings::dist_type>,
     {"Dist Type", -1, 3, false, DIST_CHOICES}},
    {"normalize_before",
     K::flag,
     shaping_field<&ShapingSettings::normalize_before>,
     {"Normalize before dist", 0, 1}},
    {"normalize_after",
     K::flag,
     shaping_field<&ShapingSettings::normalize_after>,
     {"Normalize after dist", 0, 1}},
};

}  // namespace

std::span<const ParamField> record_fields(VoiceId voice) {
  switch (voice) {
    case VOICE_BLIPP:
      return BLIPP;
    case VOICE_CLAVE:
      return CLAVE;
    case VOICE_CLOSED_HAT:
      return HAT<&B::closed>;
    case VOICE_KICK:
      return KICK;
    case VOICE_OPEN_HAT:
      return HAT<&B::open>;
    case VOICE_SNARE:
      return SNARE;
    case VOICE_COWBELL:
      return COWBELL;
    case VOICE_OSCILLATOR:
      return OSCILLATOR;
  }
  return {};
}

std::span<const ParamField> shaping_fields() {
  return SHAPING;
}

const ParamField* find_field(VoiceId voice, std::string_view name) {
  if (!is_voice(voice)) return nullptr;
  for (auto fields : {record_fields(voice), shaping_fields()}) {
    for (const ParamField& f : fields) {
      if (name == f.name) return &f;
    }
  }
  return nullptr;
}

}  // namespace thumpa
