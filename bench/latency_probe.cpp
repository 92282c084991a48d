// A measuring tool, not a test: run it against a real sound server.
//
//   audio_latency_probe play VOICE.raw [TIMES]
//     Opens the program's sound device, prints the period the device got, writes the Closed
//     Hi-hat as 16-bit mono to VOICE.raw and plays it TIMES times (default 3), 500 ms apart.
//   audio_latency_probe latency [TIMES]
//     Opens a device the way the program does but with a callback that timestamps the mixer's
//     passes, plays the voice TIMES times (default 50) at uneven moments and prints the delay
//     from each play request to the end of the pass that carried the voice's first frame.
#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "audio/mixer.h"
#include "audio/sound_device.h"
#include "synth/generators.h"
#include "synth/sine_table.h"

using namespace thumpa;
using Clock = std::chrono::steady_clock;

namespace {

std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

VoiceBuffer closed_hat() {
  fill_sine_table();
  VoiceBuffer v;
  make_hat(v, CLOSED_HAT_DEFAULTS);
  return v;
}

int play(const char* raw_path, int times) {
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  if (open_sound_device() != 0) return 1;
  std::printf("period frames: %d\n", sound_device_period_frames());
  const VoiceBuffer voice = closed_hat();
  std::FILE* f = std::fopen(raw_path, "wb");
  for (std::uint32_t i = 0; f && i < voice.count; ++i) {
    const std::int16_t s = pcm16_from_q31(voice.samples[i]);
    std::fwrite(&s, 2, 1, f);
  }
  if (f) std::fclose(f);
  const PlaybackHandle b = make_playback_buffer(voice);
  for (int k = 0; k < times; ++k) {
    play_voice(b);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  close_sound_device();
  return 0;
}

struct Probe {
  MixerState mixer;
  PlaybackBuffer* voice = nullptr;
  std::atomic<std::int64_t> carried_at{0};  // end of the pass that started the voice, in ns
  std::uint64_t seen = 0;
  std::atomic<int> last_frames{0};
  std::atomic<long> passes{0};
};

void probe_callback(void* userdata, Uint8* stream, int len) {
  auto& p = *static_cast<Probe*>(userdata);
  const int frames = len / 4;
  mix_frames(p.mixer, reinterpret_cast<std::int16_t*>(stream), frames);
  // request_seen belongs to the mixer's thread, which is this one.
  if (const std::uint64_t seen = p.voice->request_seen.load(std::memory_order_relaxed);
      seen != p.seen) {
    p.seen = seen;
    p.carried_at = now_ns();
  }
  p.last_frames = frames;
  ++p.passes;
}

int latency(int times) {
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  if (SDL_Init(SDL_INIT_AUDIO) != 0) return 1;
  static Probe probe;
  const VoiceBuffer voice = closed_hat();
  probe.voice = allocate_playback_buffer(voice);
  mixer_attach(probe.mixer, probe.voice);
  SDL_AudioSpec want{}, got{};
  want.freq = SAMPLE_RATE;
  want.format = AUDIO_S16SYS;
  want.channels = 2;
  want.samples = PERIOD_FRAMES;
  want.callback = probe_callback;
  want.userdata = &probe;
  const SDL_AudioDeviceID id = SDL_OpenAudioDevice(nullptr, 0, &want, &got, 0);
  if (id == 0) {
    std::fprintf(stderr, "open failed: %s\n", SDL_GetError());
    return 1;
  }
  std::printf("driver %s, obtained: %d Hz, %d channels, %d frames per period\n",
              SDL_GetCurrentAudioDriver(), got.freq, got.channels, got.samples);
  SDL_PauseAudioDevice(id, 0);
  // A sound server may take a while to run a new stream at its steady pace: measure from the
  // moment the passes come at the rate of the periods.
  const auto opened = Clock::now();
  long passes = 0;
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const long now = probe.passes;
    if (now - passes >= 15 && passes > 0) break;
    passes = now;
  }
  std::printf("steady after %.0f ms\n",
              std::chrono::duration<double, std::milli>(Clock::now() - opened).count());

  std::mt19937 rng(7);
  std::vector<double> delays;
  for (int k = 0; k < times; ++k) {
    std::this_thread::sleep_for(std::chrono::microseconds(100000 + rng() % 20000));
    const std::int64_t before = probe.carried_at;
    const std::int64_t requested = now_ns();
    request_play(*probe.voice);
    while (probe.carried_at == before) std::this_thread::sleep_for(std::chrono::microseconds(50));
    const double seconds = static_cast<double>(probe.carried_at - requested) * 1e-9;
    delays.push_back(seconds * SAMPLE_RATE);
  }
  SDL_CloseAudioDevice(id);
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
  std::sort(delays.begin(), delays.end());
  std::printf("callback frames: %d\n", probe.last_frames.load());
  std::printf(
      "play request to first frame leaving the mixer, frames: min %.0f median %.0f max %.0f"
      " (n=%zu)\n",
      delays.front(), delays[delays.size() / 2], delays.back(), delays.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "";
  if (what == "play" && argc > 2) return play(argv[2], argc > 3 ? std::atoi(argv[3]) : 3);
  if (what == "latency") return latency(argc > 2 ? std::atoi(argv[2]) : 50);
  std::fprintf(stderr, "usage: audio_latency_probe play VOICE.raw [TIMES] | latency [TIMES]\n");
  return 2;
}
