// How the engine treats parameter values that its arithmetic cannot serve. Every generator
// reads the sine table and divides only through these helpers, so that no record, whatever
// it holds (a settings file may hold anything), reads outside the table or divides by zero.
// Values in the range the voices are meant for pass through unchanged.
//
//  - A sine index outside 0..33074 is clamped to the nearest entry.
//  - A frequency whose cosine is read is clamped to 0..22049 (the highest frequency whose
//    cosine, entry f + 11025, is in the table). Its sine is read at the clamped value too
//    where the two belong to the same resonator or filter.
//  - A noise band's centre frequency is clamped to 1..22049: at 0 Hz its gain would divide
//    by 1 - cos(0) = 0.
//  - A resonance divisor below 1 is read as 1 (the widest, shortest resonance).
//  - A Cowbell dist of 0 is read as 1; any other value, negative ones included, is kept.
//  - An Oscillator sample_rate of 0 is read as 1.
#pragma once

#include <algorithm>
#include <cstdint>

#include "synth/sine_table.h"

namespace thumpa {

inline constexpr std::int32_t clamp_table_freq(std::int64_t f) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(f, 0, MAX_TABLE_FREQ));
}

inline Q31 table_sin(std::int64_t index) {
  return SineTable[std::clamp<std::int64_t>(index, 0, MAX_SINE_INDEX)];
}

inline Q31 table_cos(std::int64_t freq) {
  return SineTable[clamp_table_freq(freq) + COSINE_OFFSET];
}

inline constexpr std::int32_t clamp_noise_freq(std::int32_t f) {
  return std::clamp<std::int32_t>(f, 1, MAX_TABLE_FREQ);
}

inline constexpr std::int32_t resonance_divisor(std::int32_t q) {
  return q < 1 ? 1 : q;
}

inline constexpr std::int32_t nonzero_divisor(std::int32_t d) {
  return d == 0 ? 1 : d;
}

}  // namespace thumpa
