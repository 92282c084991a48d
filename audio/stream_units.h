// The units every sound stream of the program counts in: 16-bit stereo frames, and time on the
// steady clock in nanoseconds.
#pragma once

#include <cstdint>

namespace thumpa {

inline constexpr std::int64_t NS_PER_SECOND = 1'000'000'000;
inline constexpr int OUTPUT_CHANNELS = 2;
inline constexpr int FRAME_BYTES = OUTPUT_CHANNELS * static_cast<int>(sizeof(std::int16_t));

// Frames at `rate` (above 0) to nanoseconds, rounded down, without overflow however long a
// stream has run.
constexpr std::int64_t frames_to_ns(std::int64_t frames, int rate) {
  return frames / rate * NS_PER_SECOND + frames % rate * NS_PER_SECOND / rate;
}

// How long after a play request a stream whose callback fills one period at a time can always
// start it: that period, and a margin for the jitter of the callback's thread, so that a request
// always reaches the pass it is due in.
inline constexpr std::int64_t PLAY_DELAY_MARGIN_NS = 1'000'000;
constexpr std::int64_t period_play_delay_ns(int period_frames, int rate) {
  return frames_to_ns(period_frames, rate) + PLAY_DELAY_MARGIN_NS;
}

}  // namespace thumpa
