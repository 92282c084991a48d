// Plays a voice through a sound server's native client, for the tests that record what the
// server received.
//   output_backend_player pipewire|pulse VOICE.raw [TIMES [restart|stall]]
// Writes the voice as the mixer's 16-bit mono samples to VOICE.raw, opens the backend, plays it
// TIMES times (default 1) at uneven moments, each due one play delay after its request, and
// prints the stream's figures (again when they change) and each play's due frame after the
// first. Exits 1 when opening fails, naming the step and the server's reason. With restart it
// waits, as the sound device does, for the server to come back and plays again once SIGUSR1
// says the test records. Last, it closes and reopens the stream many times while it runs.
// With stall it only opens, and once SIGUSR1 says the test stopped the server (SIGSTOP), times
// closing and opening again, which must fail: it prints both times and exits 1 if either went
// beyond 1.5 s or the open did not fail.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "audio/mixer.h"
#include "audio/pipewire_output.h"
#include "audio/pulse_output.h"

using namespace thumpa;

namespace {

std::atomic<bool> recording{false};
extern "C" void on_recording(int) {
  recording = true;
}

// 100 ms whose samples are never 0, so the voice stands apart from the silence around it, and
// reach both ends of the 16-bit range.
VoiceBuffer test_voice() {
  constexpr std::uint32_t FRAMES = 4410;
  VoiceBuffer v;
  v.count = FRAMES;
  v.samples.reset(static_cast<Q31*>(std::malloc(FRAMES * sizeof(Q31))));
  for (std::uint32_t i = 0; i < FRAMES; ++i) {
    const std::int32_t top = static_cast<std::int32_t>((i * 7919) % 32767) + 1;
    v.samples[i] = (i % 2 ? -top : top - 1) * 65536 + 1234;
  }
  v.samples[0] = INT32_MIN;
  return v;
}

void print_stream(const char* when, const OutputBackend& backend) {
  std::printf(
      "%s: backend %s, period %d frames, latency %d frames, play delay %.2f ms, %d underflows\n",
      when, backend.name, backend.period_frames(), backend.latency_frames(),
      static_cast<double>(backend.play_delay_ns()) / 1e6, backend.underflows());
  std::fflush(stdout);
}

// The voice TIMES times, each due one play delay after its request; prints each play as it is
// asked for, the due frames of all relative to the first, and the stream once they are heard.
void play_times(const OutputBackend& backend, PlaybackBuffer& buffer, int times, const char* label,
                const char* played) {
  std::int64_t first_due = 0;
  int period = backend.period_frames();
  std::int64_t delay = backend.play_delay_ns();
  std::string due_frames;
  for (int k = 0; k < times; ++k) {
    if (backend.period_frames() != period || backend.play_delay_ns() != delay) {
      period = backend.period_frames();
      delay = backend.play_delay_ns();
      print_stream("changed", backend);
    }
    const std::int64_t due = steady_now_ns() + delay;
    request_play(buffer, due);
    if (k == 0) first_due = due;
    due_frames += ' ';
    due_frames += std::to_string((due - first_due) * SAMPLE_RATE / 1'000'000'000);
    std::printf("play %d due at %lld ns\n", k, static_cast<long long>(due));
    std::fflush(stdout);
    // 150 to 250 ms apart: after the voice's end, never on a period boundary.
    std::this_thread::sleep_for(std::chrono::microseconds(150'000 + (k * 37'123) % 100'000));
  }
  std::printf("%s:%s\n", label, due_frames.c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  print_stream(played, backend);
}

const char* step_name(OpenStep step) {
  switch (step) {
    case OpenStep::init:
      return "init";
    case OpenStep::open:
      return "open";
    case OpenStep::format:
      return "format";
  }
  return "?";
}

// What the sound device's poll does every 500 ms, until the stream runs again or 30 s passed:
// closes a stream whose server went away (saying so once) and tries to open it again.
bool reconnect(const OutputBackend& backend, MixerState& mixer) {
  for (int poll = 0; poll < 60; ++poll) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const bool open = backend.period_frames() != 0;
    if (open && !backend.server_gone()) continue;
    if (open) std::fprintf(stderr, "the server went away\n");
    backend.close();
    if (!backend.open(mixer, PERIOD_FRAMES)) {
      // On the wall clock, which the test's shell reads too.
      const auto wall = std::chrono::system_clock::now().time_since_epoch();
      std::printf("reopened at %lld ns\n",
                  static_cast<long long>(std::chrono::nanoseconds(wall).count()));
      return true;
    }
  }
  return false;
}

std::int64_t ms_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// Closing a stream whose server stopped answering, and opening against it, each end by their
// deadline.
int stall(const OutputBackend& backend, MixerState& mixer) {
  for (int k = 0; k < 3000 && !recording; ++k) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  auto start = std::chrono::steady_clock::now();
  backend.close();
  const std::int64_t close_ms = ms_since(start);
  start = std::chrono::steady_clock::now();
  const auto failure = backend.open(mixer, PERIOD_FRAMES);
  const std::int64_t open_ms = ms_since(start);
  start = std::chrono::steady_clock::now();
  backend.close();
  const std::int64_t closed_again_ms = ms_since(start);
  const std::string outcome =
      failure ? std::string("failed at ") + step_name(failure->step) + ": " + failure->detail
              : "opened";
  std::printf("stalled server: close %lld ms, open %lld ms (%s), close again %lld ms\n",
              static_cast<long long>(close_ms), static_cast<long long>(open_ms), outcome.c_str(),
              static_cast<long long>(closed_again_ms));
  return failure && close_ms <= 1500 && open_ms <= 1500 && closed_again_ms <= 1500 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const int times = argc >= 4 ? std::atoi(argv[3]) : 1;
  const bool restart = argc == 5 && std::strcmp(argv[4], "restart") == 0;
  const bool stalled = argc == 5 && std::strcmp(argv[4], "stall") == 0;
  if (argc < 3 || argc > 5 || times < 1 || (argc == 5 && !restart && !stalled) ||
      (std::strcmp(argv[1], "pipewire") != 0 && std::strcmp(argv[1], "pulse") != 0)) {
    std::fprintf(stderr, "usage: %s pipewire|pulse VOICE.raw [TIMES [restart|stall]]\n", argv[0]);
    return 2;
  }
  const OutputBackend& backend =
      std::strcmp(argv[1], "pipewire") == 0 ? PIPEWIRE_OUTPUT : PULSE_OUTPUT;
  std::signal(SIGUSR1, on_recording);

  const VoiceBuffer voice = test_voice();
  PlaybackBuffer* buffer = allocate_playback_buffer(voice);
  std::FILE* raw = std::fopen(argv[2], "wb");
  if (buffer == nullptr || raw == nullptr ||
      std::fwrite(buffer->sound.samples, sizeof(std::int16_t), buffer->sound.count, raw) !=
          buffer->sound.count ||
      std::fclose(raw) != 0) {
    std::fprintf(stderr, "cannot prepare the voice in %s\n", argv[2]);
    return 2;
  }

  std::printf("server answers: %s\n", backend.server_answers() ? "yes" : "no");
  MixerState mixer;
  mixer_attach(mixer, buffer);
  if (const auto failure = backend.open(mixer, PERIOD_FRAMES)) {
    std::printf("open failed at %s: %s\n", step_name(failure->step), failure->detail.c_str());
    free_playback_buffer(buffer);
    return 1;
  }
  print_stream("opened", backend);
  if (stalled) {
    const int status = stall(backend, mixer);
    mixer_detach(mixer, buffer);
    free_playback_buffer(buffer);
    return status;
  }
  // Let the stream settle: an idle null sink takes about 0.4 s to start consuming, and the test
  // may stall this program meanwhile.
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  play_times(backend, *buffer, times, "due frames", "played");
  if (restart) {
    if (!reconnect(backend, mixer)) {
      std::printf("the stream did not come back\n");
      return 1;
    }
    print_stream("back", backend);
    for (int k = 0; k < 1000 && !recording; ++k) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    play_times(backend, *buffer, times, "due frames again", "played again");
  }
  // Closing releases everything: the figures read as closed, and the backend opens again; also
  // when it closes while the data thread runs, again and again.
  std::minstd_rand random(7);
  for (int k = 0; k < 40; ++k) {
    backend.close();
    if (backend.period_frames() != 0 || backend.latency_frames() != 0) {
      std::printf("figures left after closing\n");
      return 1;
    }
    if (const auto failure = backend.open(mixer, PERIOD_FRAMES)) {
      std::printf("reopening failed at %s: %s\n", step_name(failure->step),
                  failure->detail.c_str());
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20'000));
  }
  print_stream("reopened", backend);
  backend.close();
  mixer_detach(mixer, buffer);
  free_playback_buffer(buffer);
  return 0;
}
