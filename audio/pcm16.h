// A voice as the sound outputs play it: 16-bit values, at the voices' own 44100 Hz or, for a
// stream that runs at another rate, resampled once when the values are made. Plain C++ on the
// engine's types and libsamplerate, so the LV2 plugin shares it without the sound servers.
#pragma once

#include <cstdint>
#include <vector>

#include "synth/types.h"

namespace thumpa {

// The 16-bit value of a Q31 sample: its top half (an arithmetic shift, so -1 stays -1).
inline constexpr std::int16_t pcm16_from_q31(Q31 sample) {
  return static_cast<std::int16_t>(sample >> 16);
}

// The voice's 16-bit values at `rate` frames per second from a band-limited resampler (rounded,
// clamped: the resampler may overshoot full scale near a steep edge); empty when the resampler
// fails. Allocates: never call it from a real-time callback.
std::vector<std::int16_t> resampled_pcm16(const VoiceBuffer& voice, double rate);

}  // namespace thumpa
