#include "lv2ui/ui_window_state.h"

#include "lv2/kit_file.h"

namespace thumpa {

void rebuild_params(WindowState& state) {
  state.params = state.base;
  const auto ports = control_ports();
  for (std::size_t i = 0; i < CONTROL_COUNT; ++i) {
    if (state.known[i])
      control_field(ports[i], state.params) = stored_value(ports[i], state.values[i]);
  }
}

bool take_control(WindowState& state, std::uint32_t index, float value) {
  if (index >= CONTROL_COUNT) return false;
  const ControlPort& port = control_ports()[index];
  state.values[index] = value;
  state.known[index] = true;
  control_field(port, state.params) = stored_value(port, value);
  return true;
}

KitReport take_kit(WindowState& state, const std::string& path) {
  KitReport report;
  const bool replace = path == state.opening || (!state.kit.empty() && path != state.kit);
  state.kit = path;
  state.opening.clear();
  BankParams loaded;
  report.error = read_kit_file(path.c_str(), loaded);
  if (!report.error.empty()) return report;
  state.base = loaded;
  if (replace) {
    const auto ports = control_ports();
    for (std::uint32_t i = 0; i < CONTROL_COUNT; ++i) {
      state.values[i] = port_value(ports[i], loaded);
      state.known[i] = true;
      report.to_write.push_back(i);
    }
  }
  rebuild_params(state);
  return report;
}

}  // namespace thumpa
