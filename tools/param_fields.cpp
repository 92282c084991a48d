#include "tools/param_fields.h"

#include <vector>

namespace thumpa {

namespace {

constexpr VoiceName VOICE_NAMES[] = {
    {"blipp", VOICE_BLIPP},       {"clave", VOICE_CLAVE},
    {"closed", VOICE_CLOSED_HAT}, {"open", VOICE_OPEN_HAT},
    {"kick", VOICE_KICK},         {"snare", VOICE_SNARE},
    {"cowbell", VOICE_COWBELL},   {"oscillator", VOICE_OSCILLATOR},
};

template <class Record>
struct Field {
  const char* name;
  std::int32_t Record::*member;
};

constexpr Field<KickParams> KICK[] = {
    {"sample_rate", &KickParams::sample_rate},
    {"a_freq", &KickParams::a_freq},
    {"a_decay", &KickParams::a_decay},
    {"start_freq", &KickParams::start_freq},
    {"stop_freq", &KickParams::stop_freq},
    {"freq_decay", &KickParams::freq_decay},
    {"decay", &KickParams::decay},
    {"mix", &KickParams::mix},
};
constexpr Field<SnareParams> SNARE[] = {
    {"sample_rate", &SnareParams::sample_rate},
    {"noise_decay", &SnareParams::noise_decay},
    {"freq1", &SnareParams::freq1},
    {"decay", &SnareParams::decay},
    {"freq2", &SnareParams::freq2},
    {"filter_freq", &SnareParams::filter_freq},
    {"resonance", &SnareParams::resonance},
    {"mix", &SnareParams::mix},
};
constexpr Field<HatParams> HAT[] = {
    {"sample_rate", &HatParams::sample_rate},
    {"filter_freq", &HatParams::filter_freq},
    {"resonance", &HatParams::resonance},
    {"decay", &HatParams::decay},
};
constexpr Field<BlippParams> BLIPP[] = {
    {"sample_rate", &BlippParams::sample_rate},
    {"start_freq", &BlippParams::start_freq},
    {"stop_freq", &BlippParams::stop_freq},
    {"freq_decay", &BlippParams::freq_decay},
    {"decay", &BlippParams::decay},
};
constexpr Field<ClaveParams> CLAVE[] = {
    {"sample_rate", &ClaveParams::sample_rate},
    {"freq", &ClaveParams::freq},
    {"decay", &ClaveParams::decay},
};
constexpr Field<CowbellParams> COWBELL[] = {
    {"sample_rate", &CowbellParams::sample_rate},
    {"freq", &CowbellParams::freq},
    {"decay", &CowbellParams::decay},
    {"dist", &CowbellParams::dist},
};
constexpr Field<OscParams> OSC[] = {
    {"sample_rate", &OscParams::sample_rate},
    {"freq", &OscParams::freq},
    {"wave", &OscParams::wave},
    {"pulse_width", &OscParams::pulse_width},
    {"dca_attack", &OscParams::dca_attack},
    {"dca_sustain", &OscParams::dca_sustain},
    {"dca_release", &OscParams::dca_release},
    {"dcf_attack", &OscParams::dcf_attack},
    {"dcf_release", &OscParams::dcf_release},
    {"freq_hi", &OscParams::freq_hi},
    {"freq_lo", &OscParams::freq_lo},
    {"resonance", &OscParams::resonance},
};

template <class Record, std::size_t N>
std::int32_t* field_of(Record& record, const Field<Record> (&fields)[N], std::string_view name) {
  for (const Field<Record>& f : fields) {
    if (name == f.name) return &(record.*f.member);
  }
  return nullptr;
}

template <class Record, std::size_t N>
std::vector<std::string_view> names_of(const Field<Record> (&fields)[N]) {
  std::vector<std::string_view> names;
  for (const Field<Record>& f : fields) names.push_back(f.name);
  return names;
}

}  // namespace

std::span<const VoiceName> voice_names() {
  return VOICE_NAMES;
}

std::optional<VoiceId> voice_by_name(std::string_view name) {
  for (const VoiceName& v : VOICE_NAMES) {
    if (name == v.name) return v.id;
  }
  return std::nullopt;
}

std::vector<std::string_view> param_names(VoiceId voice) {
  std::vector<std::string_view> names;
  switch (voice) {
    case VOICE_KICK:
      names = names_of(KICK);
      break;
    case VOICE_SNARE:
      names = names_of(SNARE);
      break;
    case VOICE_CLOSED_HAT:
    case VOICE_OPEN_HAT:
      names = names_of(HAT);
      break;
    case VOICE_BLIPP:
      names = names_of(BLIPP);
      break;
    case VOICE_CLAVE:
      names = names_of(CLAVE);
      break;
    case VOICE_COWBELL:
      names = names_of(COWBELL);
      break;
    case VOICE_OSCILLATOR:
      names = names_of(OSC);
      break;
  }
  for (const char* shaping : {"dist_type", "dist_level", "normalize_before", "normalize_after"}) {
    names.push_back(shaping);
  }
  return names;
}

std::int32_t* find_param(BankParams& p, VoiceId voice, std::string_view field) {
  ShapingSettings& s = p.shaping;
  if (field == "dist_type") return &s.dist_type[voice];
  if (field == "dist_level") return &s.dist_level[voice];
  if (field == "normalize_before") return &s.normalize_before[voice];
  if (field == "normalize_after") return &s.normalize_after[voice];
  switch (voice) {
    case VOICE_KICK:
      return field_of(p.kick, KICK, field);
    case VOICE_SNARE:
      return field_of(p.snare, SNARE, field);
    case VOICE_CLOSED_HAT:
      return field_of(p.closed, HAT, field);
    case VOICE_OPEN_HAT:
      return field_of(p.open, HAT, field);
    case VOICE_BLIPP:
      return field_of(p.blipp, BLIPP, field);
    case VOICE_CLAVE:
      return field_of(p.clave, CLAVE, field);
    case VOICE_COWBELL:
      return field_of(p.cowbell, COWBELL, field);
    case VOICE_OSCILLATOR:
      return field_of(p.osc, OSC, field);
  }
  return nullptr;
}

}  // namespace thumpa
