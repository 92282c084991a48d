#include "lv2/controls.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <iterator>

namespace thumpa {

namespace {

template <auto Record, auto Field>
std::int32_t& field(BankParams& p) {
  return (p.*Record).*Field;
}
template <int Slot>
std::int32_t& dist_type(BankParams& p) {
  return p.shaping.dist_type[Slot];
}
template <int Slot>
std::int32_t& dist_level(BankParams& p) {
  return p.shaping.dist_level[Slot];
}
template <int Slot>
std::int32_t& normalize_before(BankParams& p) {
  return p.shaping.normalize_before[Slot];
}
template <int Slot>
std::int32_t& normalize_after(BankParams& p) {
  return p.shaping.normalize_after[Slot];
}

using K = ControlKind;
using P = BankParams;

// Frequencies are sine-table indices; the engine clamps whatever lies beyond.
constexpr float MAX_FREQ = 22049;
constexpr float MAX_RESONANCE = 100;
constexpr float MAX_SUSTAIN = 84000;  // a voice's longest length in samples

// The shaping controls every editor shows below its fields.
#define THUMPA_SHAPING(prefix, id)                                                                   \
  {                                                                                                  \
      prefix "_normalize_before",                                                                    \
      "Normalize before dist",                                                                       \
      id,                                                                                            \
      K::toggle,                                                                                     \
      normalize_before<id>,                                                                          \
      0,                                                                                             \
      1},                                                                                            \
      {prefix "_normalize_after", "Normalize after dist", id, K::toggle, normalize_after<id>, 0, 1}, \
      {prefix "_dist_type", "Dist", id, K::dist_type, dist_type<id>, -1, 3}, {                       \
    prefix "_dist_level", "Dist Level (0-1)", id, K::fraction, dist_level<id>, 0, 1                  \
  }

const ControlPort PORTS[] = {
    {"blipp_start_freq", "Startfreq", VOICE_BLIPP, K::integer,
     field<&P::blipp, &BlippParams::start_freq>, 0, MAX_FREQ},
    {"blipp_stop_freq", "Stopfreq", VOICE_BLIPP, K::integer,
     field<&P::blipp, &BlippParams::stop_freq>, 0, MAX_FREQ},
    {"blipp_freq_decay", "Freqdecay", VOICE_BLIPP, K::fraction,
     field<&P::blipp, &BlippParams::freq_decay>, 0, 1},
    {"blipp_decay", "Decay", VOICE_BLIPP, K::fraction, field<&P::blipp, &BlippParams::decay>, 0, 1},
    THUMPA_SHAPING("blipp", VOICE_BLIPP),

    {"clave_freq", "Freq", VOICE_CLAVE, K::integer, field<&P::clave, &ClaveParams::freq>, 0,
     MAX_FREQ},
    {"clave_decay", "Decay", VOICE_CLAVE, K::fraction, field<&P::clave, &ClaveParams::decay>, 0, 1},
    THUMPA_SHAPING("clave", VOICE_CLAVE),

    {"closed_filter_freq", "Filterfreq", VOICE_CLOSED_HAT, K::integer,
     field<&P::closed, &HatParams::filter_freq>, 1, MAX_FREQ},
    {"closed_resonance", "Resonance", VOICE_CLOSED_HAT, K::integer,
     field<&P::closed, &HatParams::resonance>, 1, MAX_RESONANCE},
    {"closed_decay", "Decay", VOICE_CLOSED_HAT, K::fraction, field<&P::closed, &HatParams::decay>,
     0, 1},
    THUMPA_SHAPING("closed", VOICE_CLOSED_HAT),

    {"open_filter_freq", "Filterfreq", VOICE_OPEN_HAT, K::integer,
     field<&P::open, &HatParams::filter_freq>, 1, MAX_FREQ},
    {"open_resonance", "Resonance", VOICE_OPEN_HAT, K::integer,
     field<&P::open, &HatParams::resonance>, 1, MAX_RESONANCE},
    {"open_decay", "Decay", VOICE_OPEN_HAT, K::fraction, field<&P::open, &HatParams::decay>, 0, 1},
    THUMPA_SHAPING("open", VOICE_OPEN_HAT),

    {"kick_a_freq", "AFreq", VOICE_KICK, K::integer, field<&P::kick, &KickParams::a_freq>, 0,
     MAX_FREQ},
    {"kick_start_freq", "Startfreq", VOICE_KICK, K::integer,
     field<&P::kick, &KickParams::start_freq>, 0, MAX_FREQ},
    {"kick_stop_freq", "Stopfreq", VOICE_KICK, K::integer, field<&P::kick, &KickParams::stop_freq>,
     0, MAX_FREQ},
    {"kick_a_decay", "ADecay", VOICE_KICK, K::fraction, field<&P::kick, &KickParams::a_decay>, 0,
     1},
    {"kick_freq_decay", "Freqdecay", VOICE_KICK, K::fraction,
     field<&P::kick, &KickParams::freq_decay>, 0, 1},
    {"kick_decay", "Decay", VOICE_KICK, K::fraction, field<&P::kick, &KickParams::decay>, 0, 1},
    {"kick_mix", "Mix", VOICE_KICK, K::fraction, field<&P::kick, &KickParams::mix>, 0, 1},
    THUMPA_SHAPING("kick", VOICE_KICK),

    {"snare_noise_decay", "Noise decay", VOICE_SNARE, K::fraction,
     field<&P::snare, &SnareParams::noise_decay>, 0, 1},
    {"snare_freq1", "Freq1", VOICE_SNARE, K::integer, field<&P::snare, &SnareParams::freq1>, 0,
     MAX_FREQ},
    {"snare_freq2", "Freq2", VOICE_SNARE, K::integer, field<&P::snare, &SnareParams::freq2>, 0,
     MAX_FREQ},
    {"snare_decay", "Decay", VOICE_SNARE, K::fraction, field<&P::snare, &SnareParams::decay>, 0, 1},
    {"snare_filter_freq", "Filterfreq", VOICE_SNARE, K::integer,
     field<&P::snare, &SnareParams::filter_freq>, 1, MAX_FREQ},
    {"snare_resonance", "Resonance", VOICE_SNARE, K::integer,
     field<&P::snare, &SnareParams::resonance>, 1, MAX_RESONANCE},
    {"snare_mix", "Mix", VOICE_SNARE, K::fraction, field<&P::snare, &SnareParams::mix>, 0, 1},
    THUMPA_SHAPING("snare", VOICE_SNARE),

    {"cowbell_freq", "Freq", VOICE_COWBELL, K::integer, field<&P::cowbell, &CowbellParams::freq>, 0,
     MAX_FREQ},
    {"cowbell_decay", "Decay", VOICE_COWBELL, K::fraction,
     field<&P::cowbell, &CowbellParams::decay>, 0, 1},
    // The editor takes a divisor between 0 and 100, exclusive.
    {"cowbell_dist", "Dist", VOICE_COWBELL, K::integer, field<&P::cowbell, &CowbellParams::dist>, 1,
     99},
    THUMPA_SHAPING("cowbell", VOICE_COWBELL),

    {"oscillator_freq", "Freq", VOICE_OSCILLATOR, K::integer, field<&P::osc, &OscParams::freq>, 0,
     MAX_FREQ},
    {"oscillator_wave", "Wave", VOICE_OSCILLATOR, K::wave, field<&P::osc, &OscParams::wave>, 1, 4},
    {"oscillator_pulse_width", "Pulse Width", VOICE_OSCILLATOR, K::unsigned_fraction,
     field<&P::osc, &OscParams::pulse_width>, 0, 1},
    {"oscillator_freq_hi", "Freq Hi", VOICE_OSCILLATOR, K::integer,
     field<&P::osc, &OscParams::freq_hi>, 0, MAX_FREQ},
    {"oscillator_freq_lo", "Freq Lo", VOICE_OSCILLATOR, K::integer,
     field<&P::osc, &OscParams::freq_lo>, 0, MAX_FREQ},
    {"oscillator_resonance", "Resonance", VOICE_OSCILLATOR, K::integer,
     field<&P::osc, &OscParams::resonance>, 1, MAX_RESONANCE},
    {"oscillator_dcf_attack", "DCF Attack", VOICE_OSCILLATOR, K::fraction,
     field<&P::osc, &OscParams::dcf_attack>, 0, 1},
    {"oscillator_dcf_release", "DCF Release", VOICE_OSCILLATOR, K::fraction,
     field<&P::osc, &OscParams::dcf_release>, 0, 1},
    {"oscillator_dca_attack", "DCA Attack", VOICE_OSCILLATOR, K::fraction,
     field<&P::osc, &OscParams::dca_attack>, 0, 1},
    {"oscillator_dca_sustain", "Sustain", VOICE_OSCILLATOR, K::integer,
     field<&P::osc, &OscParams::dca_sustain>, 0, MAX_SUSTAIN},
    {"oscillator_dca_release", "DCA Release", VOICE_OSCILLATOR, K::fraction,
     field<&P::osc, &OscParams::dca_release>, 0, 1},
    THUMPA_SHAPING("oscillator", VOICE_OSCILLATOR),
};

#undef THUMPA_SHAPING
static_assert(std::size(PORTS) == CONTROL_COUNT);

constexpr VoiceGroup GROUPS[] = {
    {VOICE_BLIPP, "blipp", "Blipp"},
    {VOICE_CLAVE, "clave", "Clave"},
    {VOICE_CLOSED_HAT, "closed", "Closed Hi-hat"},
    {VOICE_OPEN_HAT, "open", "Open Hi-hat"},
    {VOICE_KICK, "kick", "Kick"},
    {VOICE_SNARE, "snare", "Snare"},
    {VOICE_COWBELL, "cowbell", "Cowbell"},
    {VOICE_OSCILLATOR, "oscillator", "Oscillator"},
};

// In the editors' button order.
constexpr ScalePoint DIST_POINTS[] = {
    {"No dist", DIST_NONE}, {"Apdist", DIST_AP}, {"Zogdist", DIST_ZOG}, {"Surdist", DIST_SUR}};
// The editor offers Tri, Saw and Pulse; the square wave is the engine's too, and a settings
// file may hold it.
constexpr ScalePoint WAVE_POINTS[] = {
    {"Tri", WAVE_TRIANGLE}, {"Saw", WAVE_SAW}, {"Square", WAVE_SQUARE}, {"Pulse", WAVE_PULSE}};

// Fractions are stored as value * (2^31 - 1), truncated; dividing by the same scale gives the
// value back (the editors' value / 2^31 differs from it by less than they show).
constexpr double FRACTION_SCALE = ONE;

// A float control cannot hold 0.05 exactly; a host shows it, and its user types it, as the
// shortest decimal that reads back as the same float. That decimal is taken as the editors take
// their text, so 0.05 stores 107374182 here as it does there.
double as_typed(float value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  double typed = value;
  std::from_chars(text, end, typed);
  return typed;
}

// The fraction a port shows for a stored value: the one with the fewest digits that stores
// that value again (0.0001 for 214748, as the editors show it), so that a host putting a
// control back to what it showed changes nothing. The plain quotient when none does.
float shown_fraction(const ControlPort& port, std::int32_t stored, double magnitude) {
  const double middle = (magnitude + 0.5) / FRACTION_SCALE;
  for (int digits = 1; digits <= 9; ++digits) {
    char text[32];
    const auto end =
        std::to_chars(text, text + sizeof text, middle, std::chars_format::general, digits).ptr;
    double shown = 0;
    std::from_chars(text, end, shown);
    if (stored_value(port, static_cast<float>(shown)) == stored) return static_cast<float>(shown);
  }
  return static_cast<float>(magnitude / FRACTION_SCALE);
}

}  // namespace

std::span<const ControlPort> control_ports() {
  return PORTS;
}

std::span<const VoiceGroup> voice_groups() {
  return GROUPS;
}

const VoiceGroup& voice_group(VoiceId voice) {
  for (const VoiceGroup& group : GROUPS) {
    if (group.voice == voice) return group;
  }
  return GROUPS[0];
}

std::span<const ScalePoint> scale_points(ControlKind kind) {
  switch (kind) {
    case ControlKind::dist_type:
      return DIST_POINTS;
    case ControlKind::wave:
      return WAVE_POINTS;
    default:
      return {};
  }
}

float port_value(const ControlPort& port, const BankParams& params) {
  const std::int32_t stored = port.field(const_cast<BankParams&>(params));
  switch (port.kind) {
    case ControlKind::fraction:
      return shown_fraction(port, stored, stored);
    case ControlKind::unsigned_fraction:
      return shown_fraction(port, stored, static_cast<std::uint32_t>(stored));
    default:
      return static_cast<float>(stored);
  }
}

std::int32_t stored_value(const ControlPort& port, float value) {
  const double v =
      std::isnan(value) ? port.minimum : std::fmin(std::fmax(value, port.minimum), port.maximum);
  switch (port.kind) {
    case ControlKind::fraction:
    case ControlKind::unsigned_fraction:
      return q31_from_double(as_typed(static_cast<float>(v)));
    case ControlKind::toggle:
      return v >= 0.5 ? 1 : 0;
    case ControlKind::dist_type:
    case ControlKind::wave: {
      const auto points = scale_points(port.kind);
      const ScalePoint* nearest = &points[0];
      for (const ScalePoint& point : points) {
        if (std::fabs(point.value - v) < std::fabs(nearest->value - v)) nearest = &point;
      }
      return nearest->value;
    }
    case ControlKind::integer:
      break;
  }
  return static_cast<std::int32_t>(std::lround(v));
}

}  // namespace thumpa
