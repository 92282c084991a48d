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

// Ports are numbered in the order they were first published: hosts refer to a control by its
// index too (automation lanes), so a new field goes at the end of its voice and nothing moves.
struct PortField {
  VoiceId voice;
  const char* field;
};

constexpr PortField RECORD_PORTS[] = {
    {VOICE_BLIPP, "start_freq"},
    {VOICE_BLIPP, "stop_freq"},
    {VOICE_BLIPP, "freq_decay"},
    {VOICE_BLIPP, "decay"},
    {VOICE_CLAVE, "freq"},
    {VOICE_CLAVE, "decay"},
    {VOICE_CLOSED_HAT, "filter_freq"},
    {VOICE_CLOSED_HAT, "resonance"},
    {VOICE_CLOSED_HAT, "decay"},
    {VOICE_OPEN_HAT, "filter_freq"},
    {VOICE_OPEN_HAT, "resonance"},
    {VOICE_OPEN_HAT, "decay"},
    {VOICE_KICK, "a_freq"},
    {VOICE_KICK, "start_freq"},
    {VOICE_KICK, "stop_freq"},
    {VOICE_KICK, "a_decay"},
    {VOICE_KICK, "freq_decay"},
    {VOICE_KICK, "decay"},
    {VOICE_KICK, "mix"},
    {VOICE_SNARE, "noise_decay"},
    {VOICE_SNARE, "freq1"},
    {VOICE_SNARE, "freq2"},
    {VOICE_SNARE, "decay"},
    {VOICE_SNARE, "filter_freq"},
    {VOICE_SNARE, "resonance"},
    {VOICE_SNARE, "mix"},
    {VOICE_COWBELL, "freq"},
    {VOICE_COWBELL, "decay"},
    {VOICE_COWBELL, "dist"},
    {VOICE_OSCILLATOR, "freq"},
    {VOICE_OSCILLATOR, "wave"},
    {VOICE_OSCILLATOR, "pulse_width"},
    {VOICE_OSCILLATOR, "freq_hi"},
    {VOICE_OSCILLATOR, "freq_lo"},
    {VOICE_OSCILLATOR, "resonance"},
    {VOICE_OSCILLATOR, "dcf_attack"},
    {VOICE_OSCILLATOR, "dcf_release"},
    {VOICE_OSCILLATOR, "dca_attack"},
    {VOICE_OSCILLATOR, "dca_sustain"},
    {VOICE_OSCILLATOR, "dca_release"},
};

// The shaping controls every editor shows below its fields, for each voice's own slot.
constexpr const char* SHAPING_PORTS[] = {"normalize_before", "normalize_after", "dist_type",
                                         "dist_level"};

static_assert(std::size(RECORD_PORTS) + VOICE_COUNT * std::size(SHAPING_PORTS) == CONTROL_COUNT);

ControlKind control_kind(FieldKind kind) {
  switch (kind) {
    case FieldKind::integer:
    case FieldKind::cowbell_dist:
      return ControlKind::integer;
    case FieldKind::pulse_width:
      return ControlKind::unsigned_fraction;
    case FieldKind::choice:
      return ControlKind::choice;
    case FieldKind::flag:
      return ControlKind::toggle;
    case FieldKind::fraction:
    case FieldKind::attack_fraction:
    case FieldKind::mix:
    case FieldKind::envelope_fraction:
    case FieldKind::dist_level:
      break;
  }
  return ControlKind::fraction;
}

ControlPort make_port(VoiceId voice, const char* field_name);

// Every port: each voice's field controls, then its shaping controls. Made once, before the
// first instance runs.
std::vector<ControlPort> make_ports() {
  std::vector<ControlPort> ports;
  for (VoiceId voice : MENU_ORDER) {
    for (const PortField& p : RECORD_PORTS) {
      if (p.voice == voice) ports.push_back(make_port(voice, p.field));
    }
    for (const char* field : SHAPING_PORTS) ports.push_back(make_port(voice, field));
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

ControlPort make_port(VoiceId voice, const char* field_name) {
  const ParamField* field = find_field(voice, field_name);
  const FieldControl& c = field->control;
  return {std::string(voice_facts(voice).cli_name) + "_" + field_name,
          std::string(voice_group(voice).label) + " " + c.caption,
          voice,
          control_kind(field->kind),
          field,
          c.minimum,
          c.maximum};
}

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

float port_value(const ControlPort& port, const BankParams& params) {
  const std::int32_t stored = field_value(*port.field, params, port.voice);
  switch (port.kind) {
    case ControlKind::fraction:
      // Below a logarithmic range's bottom (0 among them) shows as the bottom, which stores 0
      // when a host sets it; a value the host only puts back changes nothing (see read_controls).
      return std::fmax(shown_fraction(port, stored, stored), port.minimum);
    case ControlKind::unsigned_fraction:
      return shown_fraction(port, stored, static_cast<std::uint32_t>(stored));
    default:
      return static_cast<float>(stored);
  }
}

std::vector<ScalePoint> scale_points(const ControlPort& port) {
  std::vector<ScalePoint> points;
  if (port.kind != ControlKind::choice) return points;
  const auto named = port.field->control.choices;
  auto name_of = [named](std::int32_t value) -> const char* {
    for (const FieldChoice& choice : named) {
      if (choice.value == value) return choice.label;
    }
    return nullptr;
  };
  const auto lowest = static_cast<std::int32_t>(std::ceil(port.minimum));
  const auto highest = static_cast<std::int32_t>(std::floor(port.maximum));
  for (std::int32_t value = lowest; value <= highest; ++value) {
    if (const char* label = name_of(value)) {
      points.push_back({label, value});
    } else {
      const char* as = name_of(stored_value(port, static_cast<float>(value)));
      points.push_back({std::string(as) + " (" + std::to_string(value) + ")", value});
    }
  }
  return points;
}

std::int32_t stored_value(const ControlPort& port, float value) {
  const double v =
      std::isnan(value) ? port.minimum : std::fmin(std::fmax(value, port.minimum), port.maximum);
  switch (port.kind) {
    case ControlKind::fraction:
    case ControlKind::unsigned_fraction:
      if (port.field->control.logarithmic && v <= port.minimum) return 0;
      return q31_from_double(as_typed(static_cast<float>(v)));
    case ControlKind::toggle:
      return v >= 0.5 ? 1 : 0;
    case ControlKind::choice: {
      const auto points = port.field->control.choices;
      const FieldChoice* nearest = &points[0];
      for (const FieldChoice& point : points) {
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
