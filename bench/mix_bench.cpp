// The cost of one period of the mixer with all eight default voices sounding: 256 frames
// (5.8 ms) as the desktop servers get, and 64 frames (1.45 ms) as a JACK server may run, there
// with the voices restarted by frame as its MIDI port does, also at mixed velocities with every
// voice's own port listened to and the hi-hat choke on. The mixer should take no more than 1 %
// of a period.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "audio/mixer.h"
#include "synth/generators.h"
#include "synth/sine_table.h"

namespace thumpa {
namespace {

// state.range(0): frames per period; state.range(1): 1 to restart the voices by frame, as the
// JACK client's MIDI port does, 2 as well at mixed velocities onto eight per-voice outputs with
// the choke on, else (0) by play request, as keys do.
void BM_mix_period(benchmark::State& state) {
  const int frames = static_cast<int>(state.range(0));
  const bool by_frame = state.range(1) != 0;
  const bool per_voice = state.range(1) == 2;
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
  FrameStart starts[8];
  for (const VoiceBuffer& v : voices) {
    buffers.push_back(allocate_playback_buffer(v));
    mixer_attach(mixer, buffers.back());
    const int slot = static_cast<int>(buffers.size()) - 1;
    mixer_publish_slot(mixer, slot, buffers.back());
    starts[slot] = {slot * frames / 8, slot, per_voice ? 127 - 15 * slot : 127};
    shortest = std::min(shortest, buffers.back()->sound.count);
  }
  // All eight are replayed before the shortest one ends, so every period mixes eight voices,
  // each from a different place in its samples.
  const std::uint32_t periods_per_round =
      std::max(1u, shortest / static_cast<std::uint32_t>(frames));
  std::vector<std::int16_t> out(static_cast<std::size_t>(frames) * OUTPUT_CHANNELS);
  std::vector<float> alone(static_cast<std::size_t>(frames) * INSTRUMENT_SLOTS);
  float* slot_outputs[INSTRUMENT_SLOTS];
  for (int i = 0; i < INSTRUMENT_SLOTS; ++i) slot_outputs[i] = alone.data() + i * frames;
  mixer.choke = per_voice;
  std::uint32_t period = 0;
  for (auto _ : state) {
    const bool round_starts = period++ % periods_per_round == 0;
    if (by_frame) {
      mix_frames_starting(
          mixer, out.data(), frames, 0,
          round_starts ? std::span<const FrameStart>(starts) : std::span<const FrameStart>(),
          per_voice ? slot_outputs : nullptr);
    } else {
      if (round_starts) {
        for (PlaybackBuffer* b : buffers) request_play(*b);
      }
      mix_frames(mixer, out.data(), frames);
    }
    benchmark::DoNotOptimize(out.data());
  }
  for (int slot = 0; slot < 8; ++slot) mixer_publish_slot(mixer, slot, nullptr);
  for (PlaybackBuffer* b : buffers) {
    mixer_detach(mixer, b);
    free_playback_buffer(b);
  }
  state.counters["period_us"] = 1e6 * frames / SAMPLE_RATE;
}
BENCHMARK(BM_mix_period)->Args({256, 0})->Args({64, 0})->Args({64, 1})->Args({64, 2});

}  // namespace
}  // namespace thumpa
