#include "lv2/controls.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "synth/voices.h"

namespace thumpa {

namespace {

using K = ControlKind;

// Frequencies are sine-table indices; the engine clamps whatever lies beyond.
constexpr float MAX_FREQ = 22049;
constexpr float MAX_RESONANCE = 100;
constexpr float MAX_SUSTAIN = 84000;  // a voice's longest length in samples

// A control of a field the editors show, the field named as in the voice's field table.
struct Control {
  const char* field;
  const char* caption;
  ControlKind kind;
  float minimum;
  float maximum;
};

struct FieldControl {
  VoiceId voice;
  Control control;
};

// In the editors' order, voice by voice in the menus' order.
constexpr FieldControl FIELD_CONTROLS[] = {
    {VOICE_BLIPP, {"start_freq", "Startfreq", K::integer, 0, MAX_FREQ}},
    {VOICE_BLIPP, {"stop_freq", "Stopfreq", K::integer, 0, MAX_FREQ}},
    {VOICE_BLIPP, {"freq_decay", "Freqdecay", K::fraction, 0, 1}},
    {VOICE_BLIPP, {"decay", "Decay", K::fraction, 0, 1}},
    {VOICE_CLAVE, {"freq", "Freq", K::integer, 0, MAX_FREQ}},
    {VOICE_CLAVE, {"decay", "Decay", K::fraction, 0, 1}},
    {VOICE_CLOSED_HAT, {"filter_freq", "Filterfreq", K::integer, 1, MAX_FREQ}},
    {VOICE_CLOSED_HAT, {"resonance", "Resonance", K::integer, 1, MAX_RESONANCE}},
    {VOICE_CLOSED_HAT, {"decay", "Decay", K::fraction, 0, 1}},
    {VOICE_OPEN_HAT, {"filter_freq", "Filterfreq", K::integer, 1, MAX_FREQ}},
    {VOICE_OPEN_HAT, {"resonance", "Resonance", K::integer, 1, MAX_RESONANCE}},
    {VOICE_OPEN_HAT, {"decay", "Decay", K::fraction, 0, 1}},
    {VOICE_KICK, {"a_freq", "AFreq", K::integer, 0, MAX_FREQ}},
    {VOICE_KICK, {"start_freq", "Startfreq", K::integer, 0, MAX_FREQ}},
    {VOICE_KICK, {"stop_freq", "Stopfreq", K::integer, 0, MAX_FREQ}},
    {VOICE_KICK, {"a_decay", "ADecay", K::fraction, 0, 1}},
    {VOICE_KICK, {"freq_decay", "Freqdecay", K::fraction, 0, 1}},
    {VOICE_KICK, {"decay", "Decay", K::fraction, 0, 1}},
    {VOICE_KICK, {"mix", "Mix", K::fraction, 0, 1}},
    {VOICE_SNARE, {"noise_decay", "Noise decay", K::fraction, 0, 1}},
    {VOICE_SNARE, {"freq1", "Freq1", K::integer, 0, MAX_FREQ}},
    {VOICE_SNARE, {"freq2", "Freq2", K::integer, 0, MAX_FREQ}},
    {VOICE_SNARE, {"decay", "Decay", K::fraction, 0, 1}},
    {VOICE_SNARE, {"filter_freq", "Filterfreq", K::integer, 1, MAX_FREQ}},
    {VOICE_SNARE, {"resonance", "Resonance", K::integer, 1, MAX_RESONANCE}},
    {VOICE_SNARE, {"mix", "Mix", K::fraction, 0, 1}},
    {VOICE_COWBELL, {"freq", "Freq", K::integer, 0, MAX_FREQ}},
    {VOICE_COWBELL, {"decay", "Decay", K::fraction, 0, 1}},
    // The editor takes a divisor between 0 and 100, exclusive.
    {VOICE_COWBELL, {"dist", "Dist", K::integer, 1, 99}},
    {VOICE_OSCILLATOR, {"freq", "Freq", K::integer, 0, MAX_FREQ}},
    {VOICE_OSCILLATOR, {"wave", "Wave", K::wave, 1, 4}},
    {VOICE_OSCILLATOR, {"pulse_width", "Pulse Width", K::unsigned_fraction, 0, 1}},
    {VOICE_OSCILLATOR, {"freq_hi", "Freq Hi", K::integer, 0, MAX_FREQ}},
    {VOICE_OSCILLATOR, {"freq_lo", "Freq Lo", K::integer, 0, MAX_FREQ}},
    {VOICE_OSCILLATOR, {"resonance", "Resonance", K::integer, 1, MAX_RESONANCE}},
    {VOICE_OSCILLATOR, {"dcf_attack", "DCF Attack", K::fraction, 0, 1}},
    {VOICE_OSCILLATOR, {"dcf_release", "DCF Release", K::fraction, 0, 1}},
    {VOICE_OSCILLATOR, {"dca_attack", "DCA Attack", K::fraction, 0, 1}},
    {VOICE_OSCILLATOR, {"dca_sustain", "Sustain", K::integer, 0, MAX_SUSTAIN}},
    {VOICE_OSCILLATOR, {"dca_release", "DCA Release", K::fraction, 0, 1}},
};

// The shaping controls every editor shows below its fields, for each voice's own slot.
constexpr Control SHAPING_CONTROLS[] = {
    {"normalize_before", "Normalize before dist", K::toggle, 0, 1},
    {"normalize_after", "Normalize after dist", K::toggle, 0, 1},
    {"dist_type", "Dist", K::dist_type, -1, 3},
    {"dist_level", "Dist Level (0-1)", K::fraction, 0, 1},
};

static_assert(std::size(FIELD_CONTROLS) + VOICE_COUNT * std::size(SHAPING_CONTROLS) ==
              CONTROL_COUNT);

// Every port: each voice's field controls, then its shaping controls. Made once, before the
// first instance runs.
std::vector<ControlPort> make_ports() {
  std::vector<ControlPort> ports;
  for (VoiceId voice : MENU_ORDER) {
    auto add = [&](const Control& c) {
      ports.push_back({std::string(voice_facts(voice).cli_name) + "_" + c.field, c.caption, voice,
                       c.kind, find_field(voice, c.field), c.minimum, c.maximum});
    };
    for (const FieldControl& c : FIELD_CONTROLS) {
      if (c.voice == voice) add(c.control);
    }
    for (const Control& c : SHAPING_CONTROLS) add(c);
  }
  return ports;
}

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
  static const std::vector<ControlPort> ports = make_ports();
  return ports;
}

std::int32_t& control_field(const ControlPort& port, BankParams& params) {
  return port.field->in(params, port.voice);
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
  const std::int32_t stored = field_value(*port.field, params, port.voice);
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
