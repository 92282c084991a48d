// How loud a note plays for its MIDI velocity: one integer curve for every path that plays
// voices (keys, JACK MIDI, the ALSA sequencer port, the LV2 plugin). A 16-bit playback value s
// of a note with velocity v plays as (s * g[v]) >> 15, with g[v] = round(32768 * (v / 127)^2),
// so velocity 127 plays the voice's own values bit for bit. The shift floors (arithmetic).
#pragma once

#include <array>
#include <cstdint>

namespace thumpa {

inline constexpr int MAX_VELOCITY = 127;
inline constexpr std::int32_t FULL_GAIN = 32768;  // velocity 127

// g[v] for v in 0..127, rounded half up in whole numbers (127^2 is odd, so no value is a tie).
inline constexpr std::array<std::int32_t, MAX_VELOCITY + 1> VELOCITY_GAIN = [] {
  std::array<std::int32_t, MAX_VELOCITY + 1> g{};
  constexpr std::int64_t DIVISOR = std::int64_t{MAX_VELOCITY} * MAX_VELOCITY;
  for (int v = 0; v <= MAX_VELOCITY; ++v) {
    g[static_cast<std::size_t>(v)] =
        static_cast<std::int32_t>((2 * FULL_GAIN * std::int64_t{v} * v + DIVISOR) / (2 * DIVISOR));
  }
  return g;
}();

// The gain of a velocity; values outside 1..127 are taken as the nearest of them.
inline constexpr std::int32_t velocity_gain(int velocity) {
  return VELOCITY_GAIN[static_cast<std::size_t>(velocity < 1              ? 1
                                                : velocity > MAX_VELOCITY ? MAX_VELOCITY
                                                                          : velocity)];
}

// A playback value at a gain: |s * gain| < 2^31 for every 16-bit s and gain up to 32768.
inline constexpr std::int32_t scaled_value(std::int16_t value, std::int32_t gain) {
  return (std::int32_t{value} * gain) >> 15;
}

static_assert(VELOCITY_GAIN[MAX_VELOCITY] == FULL_GAIN);
static_assert(scaled_value(-32768, FULL_GAIN) == -32768 && scaled_value(32767, FULL_GAIN) == 32767);

}  // namespace thumpa
