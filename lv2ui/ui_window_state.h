// What the plugin's window knows, without widgets: the host's control values, the kit, the
// parameters they make, and which control values to write when a kit has been loaded.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "lv2/controls.h"
#include "synth/types.h"

namespace thumpa {

struct WindowState {
  std::array<float, CONTROL_COUNT> values{};
  std::array<bool, CONTROL_COUNT> known{};
  BankParams base;      // the kit's parameters (the defaults before one is known)
  BankParams params;    // base with the host's control values, as the plugin stores them
  std::string kit;      // as the plugin last reported it; "" for none yet
  std::string opening;  // the kit this window asked the plugin to open
};

// The parameters again from the base and the known control values.
void rebuild_params(WindowState& state);

// A control's value from the host (or typed here): kept, and its field stored as the plugin
// stores it. False for an index that is no control.
bool take_control(WindowState& state, std::uint32_t index, float value);

struct KitReport {
  std::string error;                    // why the kit file could not be read; "" when it was
  std::vector<std::uint32_t> to_write;  // controls whose new values the host must be told
};

// The plugin reports its kit. The kit's values replace the controls' when this window opened
// it or the kit changed from one already known; the first report (a window opening on a
// running plugin) keeps the host's values, which may have moved since the kit was loaded.
KitReport take_kit(WindowState& state, const std::string& path);

}  // namespace thumpa
