// The units every sound stream of the program counts in: 16-bit stereo frames, and time on the
// steady clock in nanoseconds.
#pragma once

#include <cstdint>

namespace thumpa {

inline constexpr std::int64_t NS_PER_SECOND = 1'000'000'000;
inline constexpr int OUTPUT_CHANNELS = 2;
inline constexpr int FRAME_BYTES = OUTPUT_CHANNELS * static_cast<int>(sizeof(std::int16_t));

}  // namespace thumpa
