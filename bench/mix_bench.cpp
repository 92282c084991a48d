// The cost of one 256-frame period of the mixer with all eight default voices sounding. The
// period lasts 5.8 ms; the mixer should take no more than 1 % of it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "audio/mixer.h"
#include "synth/generators.h"
#include "synth/sine_table.h"

namespace thumpa {
namespace {

void BM_mix_period(benchmark::State& state) {
  fill_sine_table();
  VoiceBuffer voices[8];
  make_blipp(voices[0], BlippParams{});
  make_clave(voices[1], ClaveParams{});
  make_hat(voices[2], CLOSED_HAT_DEFAULTS);
  make_hat(voices[3], OPEN_HAT_DEFAULTS);
  make_kick(voices[4], KickParams{});
  make_snare(voices[5], SnareParams{});
  make_cowbell(voices[6], CowbellParams{});
  make_oscillator(voices[7], OscParams{});

  MixerState mixer;
  std::vector<PlaybackBuffer*> buffers;
  std::uint32_t shortest = MAX_VOICE_SAMPLES;
  for (const VoiceBuffer& v : voices) {
    buffers.push_back(allocate_playback_buffer(v));
    mixer_attach(mixer, buffers.back());
    shortest = std::min(shortest, buffers.back()->count);
  }
  // All eight are replayed before the shortest one ends, so every period mixes eight voices,
  // each from a different place in its samples.
  const std::uint32_t periods_per_round = std::max(1u, shortest / PERIOD_FRAMES);
  std::int16_t out[PERIOD_FRAMES * OUTPUT_CHANNELS];
  std::uint32_t period = 0;
  for (auto _ : state) {
    if (period++ % periods_per_round == 0) {
      for (PlaybackBuffer* b : buffers) request_play(*b);
    }
    mix_frames(mixer, out, PERIOD_FRAMES);
    benchmark::DoNotOptimize(out);
  }
  for (PlaybackBuffer* b : buffers) {
    mixer_detach(mixer, b);
    free_playback_buffer(b);
  }
  state.counters["period_us"] = 1e6 * PERIOD_FRAMES / SAMPLE_RATE;
}
BENCHMARK(BM_mix_period);

}  // namespace
}  // namespace thumpa
