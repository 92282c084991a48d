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

constexpr ParamField KICK[] = {
    {"sample_rate", K::integer, record_field<&B::kick, &KickParams::sample_rate>},
    {"a_freq", K::integer, record_field<&B::kick, &KickParams::a_freq>},
    {"a_decay", K::attack_fraction, record_field<&B::kick, &KickParams::a_decay>},
    {"start_freq", K::integer, record_field<&B::kick, &KickParams::start_freq>},
    {"stop_freq", K::integer, record_field<&B::kick, &KickParams::stop_freq>},
    {"freq_decay", K::fraction, record_field<&B::kick, &KickParams::freq_decay>},
    {"decay", K::fraction, record_field<&B::kick, &KickParams::decay>},
    {"mix", K::mix, record_field<&B::kick, &KickParams::mix>},
};
// The file stores freq2 before decay, unlike the record.
constexpr ParamField SNARE[] = {
    {"sample_rate", K::integer, record_field<&B::snare, &SnareParams::sample_rate>},
    {"noise_decay", K::fraction, record_field<&B::snare, &SnareParams::noise_decay>},
    {"freq1", K::integer, record_field<&B::snare, &SnareParams::freq1>},
    {"freq2", K::integer, record_field<&B::snare, &SnareParams::freq2>},
    {"decay", K::fraction, record_field<&B::snare, &SnareParams::decay>},
    {"filter_freq", K::integer, record_field<&B::snare, &SnareParams::filter_freq>},
    {"resonance", K::integer, record_field<&B::snare, &SnareParams::resonance>},
    {"mix", K::mix, record_field<&B::snare, &SnareParams::mix>},
};
// The closed and the open hi-hat share one record type.
template <auto Hat>
constexpr ParamField HAT[] = {
    {"sample_rate", K::integer, record_field<Hat, &HatParams::sample_rate>},
    {"filter_freq", K::integer, record_field<Hat, &HatParams::filter_freq>},
    {"resonance", K::integer, record_field<Hat, &HatParams::resonance>},
    {"decay", K::fraction, record_field<Hat, &HatParams::decay>},
};
constexpr ParamField BLIPP[] = {
    {"sample_rate", K::integer, record_field<&B::blipp, &BlippParams::sample_rate>},
    {"start_freq", K::integer, record_field<&B::blipp, &BlippParams::start_freq>},
    {"stop_freq", K::integer, record_field<&B::blipp, &BlippParams::stop_freq>},
    {"freq_decay", K::fraction, record_field<&B::blipp, &BlippParams::freq_decay>},
    {"decay", K::fraction, record_field<&B::blipp, &BlippParams::decay>},
};
constexpr ParamField CLAVE[] = {
    {"sample_rate", K::integer, record_field<&B::clave, &ClaveParams::sample_rate>},
    {"freq", K::integer, record_field<&B::clave, &ClaveParams::freq>},
    {"decay", K::fraction, record_field<&B::clave, &ClaveParams::decay>},
};
constexpr ParamField COWBELL[] = {
    {"sample_rate", K::integer, record_field<&B::cowbell, &CowbellParams::sample_rate>},
    {"freq", K::integer, record_field<&B::cowbell, &CowbellParams::freq>},
    {"decay", K::fraction, record_field<&B::cowbell, &CowbellParams::decay>},
    {"dist", K::cowbell_dist, record_field<&B::cowbell, &CowbellParams::dist>},
};
constexpr ParamField OSCILLATOR[] = {
    {"sample_rate", K::integer, record_field<&B::osc, &OscParams::sample_rate>},
    {"freq", K::integer, record_field<&B::osc, &OscParams::freq>},
    {"wave", K::choice, record_field<&B::osc, &OscParams::wave>},
    {"pulse_width", K::pulse_width, record_field<&B::osc, &OscParams::pulse_width>},
    {"dca_attack", K::envelope_fraction, record_field<&B::osc, &OscParams::dca_attack>},
    {"dca_sustain", K::integer, record_field<&B::osc, &OscParams::dca_sustain>},
    {"dca_release", K::envelope_fraction, record_field<&B::osc, &OscParams::dca_release>},
    {"dcf_attack", K::envelope_fraction, record_field<&B::osc, &OscParams::dcf_attack>},
    {"dcf_release", K::envelope_fraction, record_field<&B::osc, &OscParams::dcf_release>},
    {"freq_hi", K::integer, record_field<&B::osc, &OscParams::freq_hi>},
    {"freq_lo", K::integer, record_field<&B::osc, &OscParams::freq_lo>},
    {"resonance", K::integer, record_field<&B::osc, &OscParams::resonance>},
};
constexpr ParamField SHAPING[] = {
    {"dist_level", K::dist_level, shaping_field<&ShapingSettings::dist_level>},
    {"dist_type", K::choice, shaping_field<&ShapingSettings::dist_type>},
    {"normalize_before", K::flag, shaping_field<&ShapingSettings::normalize_before>},
    {"normalize_after", K::flag, shaping_field<&ShapingSettings::normalize_after>},
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
