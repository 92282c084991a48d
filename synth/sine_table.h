// The sine table that every oscillator and filter reads: entry f is the sine of the phase step
// of f Hz at 44100 samples per second, entry f + 11025 its cosine.
#pragma once

#include <cstdint>

#include "synth/types.h"

namespace thumpa {

inline constexpr std::int32_t SINE_TABLE_SIZE = 33075;  // three quarters of a period
inline constexpr std::int32_t COSINE_OFFSET = 11025;    // a quarter period
inline constexpr std::int32_t MAX_SINE_INDEX = SINE_TABLE_SIZE - 1;
inline constexpr std::int32_t MAX_TABLE_FREQ = MAX_SINE_INDEX - COSINE_OFFSET;  // 22049

extern Q31 SineTable[SINE_TABLE_SIZE];

// Fills SineTable; entry i is trunc(sin(i * step) * 2147483647.0). Called once before rendering.
void fill_sine_table();

}  // namespace thumpa
