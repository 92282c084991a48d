// The plugin's control ports: one per record field the voice editors show, and four per voice
// for its shaping, each named by its voice and its field's caption ("Kick Decay"), with the
// range the field table gives it. The same list writes the port descriptions (thumpa.ttl) and
// reads the ports in run(), so the two cannot drift apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "synth/record_fields.h"
#include "synth/types.h"
#include "synth/voices.h"

namespace thumpa {

// Port indices before the controls.
inline constexpr std::uint32_t PORT_MIDI_IN = 0;
inline constexpr std::uint32_t PORT_OUT_LEFT = 1;
inline constexpr std::uint32_t PORT_OUT_RIGHT = 2;
inline constexpr std::uint32_t FIRST_CONTROL_PORT = 3;
inline constexpr std::size_t CONTROL_COUNT = 72;
// After the controls: the atom output that tells the host about the kit parameter, each voice
// alone on a mono output (in VOICE_OUTPUT_ORDER), and the two switches of how notes play.
inline constexpr std::uint32_t PORT_NOTIFY = FIRST_CONTROL_PORT + CONTROL_COUNT;
inline constexpr std::uint32_t FIRST_VOICE_OUT_PORT = PORT_NOTIFY + 1;
inline constexpr std::uint32_t PORT_VELOCITY = FIRST_VOICE_OUT_PORT + VOICE_COUNT;
inline constexpr std::uint32_t PORT_CHOKE = PORT_VELOCITY + 1;
inline constexpr VoiceOrder VOICE_OUTPUT_ORDER = FILE_ORDER;

enum class ControlKind {
  integer,            // the stored whole number
  fraction,           // value / 2^31, as the editors show it
  unsigned_fraction,  // the unsigned value / 2^31 (the Oscillator's pulse width)
  toggle,             // 0 or 1
  choice,             // one of the field's named values
};

struct ControlPort {
  std::string symbol;  // "<voice>_<field>", the field named as thumpa-render's --set names it
  std::string name;    // the voice's label and the field's caption
  VoiceId voice;
  ControlKind kind;
  const ParamField* field;  // in the voice's field table, with its caption and range
  float minimum;
  float maximum;
};

struct VoiceGroup {
  VoiceId voice;
  const char* symbol;  // as thumpa-render names the voice
  const char* label;
};

// In port order, grouped by voice in the menus' order. The first call makes the table: make it
// before run() can call it.
std::span<const ControlPort> control_ports();
std::span<const VoiceGroup> voice_groups();
const VoiceGroup& voice_group(VoiceId voice);

// A value a choice port can take and the label a host shows for it.
struct ScalePoint {
  std::string label;
  std::int32_t value;
};

// Every whole value in a choice port's range, in rising order, each with its label: the
// field's own name for it, or for a value the field does not name (the Dist Type's 0, which
// the engine leaves undistorted) the name of the value it stores as, with the number, so that
// no value shows bare in a host ("No dist (0)"). Empty for other ports.
std::vector<ScalePoint> scale_points(const ControlPort& port);

// The stored field a port controls.
std::int32_t& control_field(const ControlPort& port, BankParams& params);

// The port value that shows a stored field.
float port_value(const ControlPort& port, const BankParams& params);

// The stored field for a port value: clamped to the port's range first (NaN reads as its
// minimum), rounded for whole numbers, the nearest named value for choices, and fractions
// converted as the editors convert their text; the bottom of a logarithmic range stores 0.
std::int32_t stored_value(const ControlPort& port, float value);

}  // namespace thumpa
