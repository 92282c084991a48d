// Rendering speed of the engine: each generator alone, and the whole default bank as the
// program renders it at start-up (every voice rendered and normalised once).
#include <benchmark/benchmark.h>

#include "synth/generators.h"
#include "synth/render.h"
#include "synth/shaping.h"
#include "synth/sine_table.h"

namespace thumpa {
namespace {

// The table, and the allocator tuned as the program's executables tune it at start.
void ensure_table() {
  static const bool filled = (keep_render_scratch_on_heap(), fill_sine_table(), true);
  (void)filled;
}

template <class Params>
void bm_generator(benchmark::State& state, void (*make)(VoiceBuffer&, const Params&), Params p) {
  ensure_table();
  VoiceBuffer voice;
  std::int64_t samples = 0;
  for (auto _ : state) {
    make(voice, p);
    benchmark::DoNotOptimize(voice.samples.get());
    samples += voice.count;
  }
  state.counters["samples_per_second"] =
      benchmark::Counter(static_cast<double>(samples), benchmark::Counter::kIsRate);
}

BENCHMARK_CAPTURE(bm_generator, kick, make_kick, KickParams{});
BENCHMARK_CAPTURE(bm_generator, snare, make_snare, SnareParams{});
BENCHMARK_CAPTURE(bm_generator, closed_hat, make_hat, CLOSED_HAT_DEFAULTS);
BENCHMARK_CAPTURE(bm_generator, open_hat, make_hat, OPEN_HAT_DEFAULTS);
BENCHMARK_CAPTURE(bm_generator, blipp, make_blipp, BlippParams{});
BENCHMARK_CAPTURE(bm_generator, clave, make_clave, ClaveParams{});
BENCHMARK_CAPTURE(bm_generator, cowbell, make_cowbell, CowbellParams{});
BENCHMARK_CAPTURE(bm_generator, oscillator, make_oscillator, OscParams{});

void BM_bank_render(benchmark::State& state) {
  ensure_table();
  const BankParams p;
  VoiceBuffer voices[8];
  std::int64_t samples = 0;
  for (auto _ : state) {
    make_blipp(voices[0], p.blipp);
    make_hat(voices[1], p.closed);
    make_hat(voices[2], p.open);
    make_clave(voices[3], p.clave);
    make_kick(voices[4], p.kick);
    make_snare(voices[5], p.snare);
    make_cowbell(voices[6], p.cowbell);
    make_oscillator(voices[7], p.osc);
    for (VoiceBuffer& v : voices) {
      normalize_voice(v);
      samples += v.count;
    }
    benchmark::ClobberMemory();
  }
  state.counters["samples_per_second"] =
      benchmark::Counter(static_cast<double>(samples), benchmark::Counter::kIsRate);
  // How many times faster than real time: rendered seconds of audio per second of rendering.
  state.counters["x_real_time"] =
      benchmark::Counter(static_cast<double>(samples) / SAMPLE_RATE, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_bank_render)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace thumpa

BENCHMARK_MAIN();
