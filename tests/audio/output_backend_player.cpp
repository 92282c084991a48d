// Plays a voice through a sound server's native client, for the tests that record what the
// server received.
//   output_backend_player pipewire|pulse VOICE.raw [TIMES]
// Writes the voice as the 16-bit mono samples the mixer plays to VOICE.raw, opens the backend,
// plays the voice TIMES times (default 1) at uneven moments, each due one play delay after its
// request as a key's would be, and prints what the stream got and where each play was due, in
// frames after the first. Exits 1 when opening fails, after printing the failed step and the
// server's reason.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "audio/mixer.h"
#include "audio/pipewire_output.h"
#include "audio/pulse_output.h"

using namespace thumpa;

namespace {

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

}  // namespace

int main(int argc, char** argv) {
  const int times = argc == 4 ? std::atoi(argv[3]) : 1;
  if (argc < 3 || argc > 4 || times < 1 ||
      (std::strcmp(argv[1], "pipewire") != 0 && std::strcmp(argv[1], "pulse") != 0)) {
    std::fprintf(stderr, "usage: %s pipewire|pulse VOICE.raw [TIMES]\n", argv[0]);
    return 2;
  }
  const OutputBackend& backend =
      std::strcmp(argv[1], "pipewire") == 0 ? PIPEWIRE_OUTPUT : PULSE_OUTPUT;

  const VoiceBuffer voice = test_voice();
  PlaybackBuffer* buffer = allocate_playback_buffer(voice);
  std::FILE* raw = std::fopen(argv[2], "wb");
  if (buffer == nullptr || raw == nullptr ||
      std::fwrite(buffer->samples, sizeof(std::int16_t), buffer->count, raw) != buffer->count ||
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
  // Let the stream settle: an idle null sink takes about 0.4 s to start consuming, and the test
  // may stall this program meanwhile.
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  std::int64_t first_due = 0;
  std::printf("due frames:");
  for (int k = 0; k < times; ++k) {
    const std::int64_t due = steady_now_ns() + backend.play_delay_ns();
    request_play(*buffer, due);
    if (k == 0) first_due = due;
    std::printf(" %lld", static_cast<long long>((due - first_due) * SAMPLE_RATE / 1'000'000'000));
    // 150 to 250 ms apart: after the voice's end, never on a period boundary.
    std::this_thread::sleep_for(std::chrono::microseconds(150'000 + (k * 37'123) % 100'000));
  }
  std::printf("\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  print_stream("played", backend);
  backend.close();
  // Closing releases everything: the figures read as closed, and the backend opens again.
  if (backend.period_frames() != 0 || backend.latency_frames() != 0) {
    std::printf("figures left after closing\n");
    return 1;
  }
  if (const auto failure = backend.open(mixer, PERIOD_FRAMES)) {
    std::printf("reopening failed at %s: %s\n", step_name(failure->step), failure->detail.c_str());
    return 1;
  }
  print_stream("reopened", backend);
  backend.close();
  mixer_detach(mixer, buffer);
  free_playback_buffer(buffer);
  return 0;
}
