#include "lv2/controls.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string_view>

namespace thumpa {
namespace {

const ControlPort& port(std::string_view symbol) {
  for (const ControlPort& p : control_ports()) {
    if (p.symbol == symbol) return p;
  }
  ADD_FAILURE() << "no port " << symbol;
  return control_ports()[0];
}

TEST(Lv2Controls, PortValuesStoreAsTheEditorsStoreTheirText) {
  struct Case {
    const char* symbol;
    float value;
    std::int32_t stored;
  };
  const Case cases[] = {
      {"kick_decay", 0.05f, 107374182},  // not 107374183, the float's own value
      {"kick_decay", 0.0008f, 1717986},
      {"kick_mix", 0.3f, 644245094},
      {"kick_decay", 1.5f, 2147483647},  // beyond the range: its maximum
      {"kick_decay", -0.5f, 0},
      {"blipp_decay", 0.0001f, 214748},  // a logarithmic range's small values
      {"kick_decay", 0.000002f, 4294},
      {"kick_decay", 0.000001f, 0},  // its bottom end
      {"oscillator_pulse_width", 0.25f, 536870911},
      {"oscillator_pulse_width", 1.0f, 2147483647},
      {"kick_start_freq", 310.4f, 310},
      {"kick_start_freq", 310.5f, 311},
      {"kick_start_freq", -5, 0},
      {"kick_start_freq", 1e9f, 22049},
      {"kick_start_freq", NAN, 0},
      {"closed_resonance", 0, 1},
      {"cowbell_dist", 100, 99},
      {"kick_normalize_before", 0.7f, 1},
      {"kick_normalize_before", 0.2f, 0},
      {"kick_dist_type", 1.6f, DIST_AP},
      {"kick_dist_type", -0.2f, DIST_NONE},
      {"kick_dist_type", 0, DIST_NONE},
      {"kick_dist_type", 2.6f, DIST_SUR},
      {"oscillator_wave", 2.4f, WAVE_SQUARE},
      {"oscillator_wave", 3, WAVE_TRIANGLE},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(stored_value(port(c.symbol), c.value), c.stored) << c.symbol << " " << c.value;
  }
}

// A host that sets a control back to its described default gets the default voice exactly.
TEST(Lv2Controls, EveryDefaultStoresTheRecordsDefault) {
  BankParams defaults;
  for (const ControlPort& p : control_ports()) {
    EXPECT_EQ(stored_value(p, port_value(p, defaults)), control_field(p, defaults)) << p.symbol;
    const float shown = port_value(p, defaults);
    EXPECT_TRUE(shown >= p.minimum && shown <= p.maximum) << p.symbol;
  }
}

// A stored 0 (a settings file may hold one) shows as the bottom of a logarithmic range, and
// the bottom stores 0 again.
TEST(Lv2Controls, ZeroRoundTripsThroughALogarithmicControl) {
  BankParams zero;
  zero.kick.decay = 0;
  const ControlPort& decay = port("kick_decay");
  ASSERT_GT(decay.minimum, 0);
  EXPECT_EQ(port_value(decay, zero), decay.minimum);
  EXPECT_EQ(stored_value(decay, port_value(decay, zero)), 0);
}

}  // namespace
}  // namespace thumpa
