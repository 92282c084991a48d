// The loop every voice generator shares: one scratch array of MAX_VOICE_SAMPLES, samples
// computed one at a time until ten quiet samples in a row or the array is full, then the array
// shrunk to what was stored. Any allocation failure leaves the voice empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "synth/fixed_point.h"

namespace thumpa {

// Where voices get their sample memory. Tests replace it to make a render fail on purpose.
struct SampleMemory {
  void* (*allocate)(std::size_t bytes);
  void* (*shrink)(void* p, std::size_t bytes);
};
extern SampleMemory sample_memory;

// Tunes the process's allocator for rendering many voices. The program's executables call it
// once at start; the engine never does, since it may run inside another program's process.
void keep_render_scratch_on_heap();

inline constexpr std::uint32_t QUIET_SAMPLES_TO_END = 10;

// next_sample(n) computes sample n; it is called for n = 0, 1, 2, ... in order.
template <class NextSample>
void render_voice(VoiceBuffer& voice, NextSample&& next_sample) {
  voice.clear();
  auto* scratch = static_cast<Q31*>(sample_memory.allocate(MAX_VOICE_SAMPLES * sizeof(Q31)));
  if (scratch == nullptr) return;
  std::uint32_t n = 0;
  std::uint32_t quiet = 0;
  while (n < MAX_VOICE_SAMPLES && quiet < QUIET_SAMPLES_TO_END) {
    const Q31 s = next_sample(n);
    scratch[n++] = s;
    quiet = is_quiet(s) ? quiet + 1 : 0;
  }
  auto* fitted = static_cast<Q31*>(sample_memory.shrink(scratch, n * sizeof(Q31)));
  if (fitted == nullptr) {
    std::free(scratch);
    return;
  }
  voice.samples.reset(fitted);
  voice.count = n;
}

}  // namespace thumpa
