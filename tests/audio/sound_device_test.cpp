// The sound service on a real SDL device. SDL's file-writing driver ("disk") and its silent
// one ("dummy") stand in for a sound card, so no sound server is needed.
#include "audio/sound_device.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "audio/metronome.h"
#include "audio/mixer.h"
#include "tests/support/message_recorder.h"

namespace thumpa {
namespace {

namespace fs = std::filesystem;

VoiceBuffer voice_of_length(std::uint32_t n, int seed) {
  VoiceBuffer v;
  v.count = n;
  v.samples.reset(static_cast<Q31*>(std::malloc(n * sizeof(Q31))));
  for (std::uint32_t i = 0; i < n; ++i) {
    // Never 0 in the top half, so the voice is told apart from the silence around it.
    const std::int32_t top =
        static_cast<std::int32_t>((i * 37 + static_cast<std::uint32_t>(seed)) % 20000) + 1;
    v.samples[i] = (i % 2 ? -top : top) * 65536 + 4321;
  }
  return v;
}

struct SoundDevice : ::testing::Test {
  MessageRecorder capture;
  fs::path dir = fs::temp_directory_path() / ("thumpa-audio-" + std::to_string(::getpid()));

  void use_driver(const char* driver, const fs::path& file = {}) {
    setenv("SDL_AUDIODRIVER", driver, 1);
    if (!file.empty()) setenv("SDL_DISKAUDIOFILE", file.c_str(), 1);
  }
  void SetUp() override {
    fs::create_directories(dir);
    setenv("THUMPA_AUDIO", "sdl", 1);  // SDL's drivers stand in for a sound server
    setenv("SDL_DISKAUDIODELAY", "0", 1);
  }
  void TearDown() override {
    close_sound_device();
    use_sound_output_of_environment();
    fs::remove_all(dir);
    unsetenv("SDL_AUDIODRIVER");
    unsetenv("SDL_DISKAUDIOFILE");
    unsetenv("SDL_DISKAUDIODELAY");
    unsetenv("THUMPA_AUDIO");
  }
};

// Without pacing the disk device writes far faster than real time: waits until it has written
// plenty more than a voice of 3000 frames since `before` bytes.
void wait_for_output(const fs::path& file, std::uintmax_t before) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (fs::file_size(file) < before + 100000 && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// The left channel of what the disk device wrote, checking that the right one is the same.
std::vector<std::int16_t> recorded_left(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
  EXPECT_EQ(bytes.size() % 4, 0u);
  std::vector<std::int16_t> left, right;
  for (std::size_t i = 0; i + 3 < bytes.size(); i += 4) {
    std::int16_t l, r;
    std::memcpy(&l, &bytes[i], 2);
    std::memcpy(&r, &bytes[i + 2], 2);
    left.push_back(l);
    right.push_back(r);
  }
  EXPECT_EQ(left, right);
  return left;
}

TEST_F(SoundDevice, DiskDeviceRecordsExactlyThePlayedVoiceOnBothChannels) {
  const fs::path file = dir / "out.raw";
  use_driver("disk", file);
  testing::internal::CaptureStderr();
  ASSERT_EQ(open_sound_device(), 0)
      << (capture.texts().empty() ? "" : capture.messages()[0].detail);
  EXPECT_TRUE(sound_device_open());
  EXPECT_EQ(sound_device_period_frames(), 256);

  const VoiceBuffer voice = voice_of_length(3000, 5);
  const PlaybackHandle buffer = make_playback_buffer(voice);
  ASSERT_TRUE(buffer);
  play_voice({});  // does nothing
  const auto written_before = fs::file_size(file);
  play_voice(buffer);
  wait_for_output(file, written_before);
  close_sound_device();
  EXPECT_FALSE(sound_device_open());
  // The lines the end-to-end test reads from the program's log.
  std::istringstream log(testing::internal::GetCapturedStderr());  // SDL's own lines besides
  std::vector<std::string> ours;
  for (std::string line; std::getline(log, line);) {
    if (line.starts_with("thumpa:")) ours.push_back(line);
  }
  EXPECT_EQ(ours, (std::vector<std::string>{
                      "thumpa: sound output sdl, 256-frame periods, latency 256 frames",
                      "thumpa: sound output sdl closed, latency 256 frames, 0 underflows"}));

  const std::vector<std::int16_t> left = recorded_left(file);
  const auto onset = std::find_if(left.begin(), left.end(), [](std::int16_t s) { return s != 0; });
  ASSERT_NE(onset, left.end()) << "the voice never sounded in " << left.size() << " frames";
  ASSERT_GE(left.end() - onset, 3000);
  for (std::uint32_t i = 0; i < voice.count; ++i) {
    ASSERT_EQ(onset[i], pcm16_from_q31(voice.samples[i])) << "sample " << i;
  }
  EXPECT_TRUE(std::all_of(onset + 3000, left.end(), [](std::int16_t s) { return s == 0; }));
  EXPECT_TRUE(capture.texts().empty());
}

TEST_F(SoundDevice, FailedOpenShowsTheFailingStepAndReturnsMinusOne) {
  const struct {
    const char* driver;
    const char* file;  // relative to the test folder
    const char* message;
    const char* output;  // THUMPA_AUDIO
  } cases[] = {
      {"no-such-driver", "", "Failed to create DirectSound COM object", "sdl"},
      {"dummy", "", "Failed to create DirectSound COM object", "no-such-output"},
      // The disk driver cannot create its file under a regular file.
      {"disk", "plain-file/out.raw", "Failed to Initialize DirectSound object", "sdl"},
  };
  std::ofstream(dir / "plain-file") << "x";
  for (const auto& c : cases) {
    MessageRecorder local;
    use_driver(c.driver, *c.file ? dir / c.file : fs::path{});
    setenv("THUMPA_AUDIO", c.output, 1);
    EXPECT_EQ(open_sound_device(), -1) << c.driver;
    EXPECT_FALSE(sound_device_open());
    const auto shown = local.messages();
    ASSERT_EQ(shown.size(), 1u) << c.driver;
    EXPECT_EQ(shown[0].text, c.message);
    EXPECT_EQ(shown[0].caption, APP_CAPTION);
    EXPECT_EQ(shown[0].icon, MessageIcon::error);
    EXPECT_FALSE(shown[0].detail.empty()) << "the system's reason is the detail text";

    // Nothing was left half open: a buffer cannot be made, silently.
    EXPECT_FALSE(make_playback_buffer(voice_of_length(10, 1)));
    EXPECT_EQ(local.messages().size(), 1u);
  }
}

TEST_F(SoundDevice, BufferThatCannotBeMadeSaysWhy) {
  use_driver("dummy");
  ASSERT_EQ(open_sound_device(), 0);
  const VoiceBuffer voice = voice_of_length(100, 1);

  const auto expect_refused = [&](const char* why, const char* second) {
    MessageRecorder local;
    EXPECT_FALSE(make_playback_buffer(voice)) << why;
    EXPECT_EQ(local.texts(), (std::vector<std::string>{"Cannot create buffer", second})) << why;
    for (const auto& m : local.messages()) {
      EXPECT_EQ(m.caption, APP_CAPTION);
      EXPECT_EQ(m.icon, MessageIcon::error);
    }
  };

  const PlaybackMemory saved = playback_memory;
  playback_memory.allocate = [](std::size_t) -> void* { return nullptr; };
  expect_refused("no memory for the samples", "Out of memory");
  playback_memory = saved;

  std::vector<PlaybackHandle> buffers;
  for (int i = 0; i < MIXER_VOICES; ++i) buffers.push_back(make_playback_buffer(voice));
  EXPECT_EQ(std::count(buffers.begin(), buffers.end(), PlaybackHandle{}), 0);
  expect_refused("every place of the mixer taken",
                 "Every place of the mixer is taken: no more than 64 sounds can be loaded.");
  release_playback_buffer(buffers.back());
  EXPECT_TRUE(make_playback_buffer(voice)) << "a released place is free again";
}

TEST_F(SoundDevice, NoBufferWithoutAnOpenDeviceAndNoneSurvivesTheClose) {
  const VoiceBuffer voice = voice_of_length(100, 1);
  EXPECT_FALSE(make_playback_buffer(voice));
  EXPECT_FALSE(replace_playback_buffer(0, voice));

  use_driver("dummy");
  ASSERT_EQ(open_sound_device(), 0);
  for (int slot = 0; slot < VOICE_COUNT; ++slot) {
    const PlaybackHandle made = replace_playback_buffer(slot, voice);
    EXPECT_TRUE(made);
    EXPECT_EQ(playback_buffer[slot], made);
  }
  EXPECT_FALSE(replace_playback_buffer(VOICE_COUNT, voice));
  EXPECT_FALSE(replace_playback_buffer(-1, voice));
  const PlaybackHandle old = playback_buffer[3];
  close_sound_device();
  for (PlaybackHandle slot : playback_buffer) EXPECT_FALSE(slot);
  // Buffers went with the device: releasing or playing one now must not touch it.
  release_playback_buffer(old);
  play_voice(old);

  ASSERT_EQ(open_sound_device(), 0) << "the device opens again after a close";
  EXPECT_TRUE(replace_playback_buffer(3, voice));
  EXPECT_TRUE(capture.texts().empty());
}

// A handle kept from before the device was closed and opened again, whose place (and perhaps
// memory) a new buffer took: releasing or playing it must leave the new buffer alone.
TEST_F(SoundDevice, StaleHandleFromBeforeAReopenLeavesTheNewBufferAlone) {
  const fs::path file = dir / "out.raw";
  use_driver("disk", file);
  const VoiceBuffer voice = voice_of_length(3000, 5);
  ASSERT_EQ(open_sound_device(), 0);
  const PlaybackHandle stale = make_playback_buffer(voice);
  close_sound_device();
  ASSERT_EQ(open_sound_device(), 0);
  const PlaybackHandle fresh = make_playback_buffer(voice);
  ASSERT_EQ(fresh.place, stale.place);

  release_playback_buffer(stale);
  play_voice(stale);
  const auto written_before = fs::file_size(file);
  // The new buffer still holds its place: the other places, and no more, take a buffer.
  for (int i = 1; i < MIXER_VOICES; ++i) ASSERT_TRUE(make_playback_buffer(voice)) << i;
  EXPECT_FALSE(make_playback_buffer(voice));
  wait_for_output(file, written_before);
  close_sound_device();
  const std::vector<std::int16_t> left = recorded_left(file);
  EXPECT_TRUE(std::all_of(left.begin(), left.end(), [](std::int16_t s) { return s == 0; }))
      << "the stale handle played the new buffer";
}

// The editors' path: a sounding voice's buffer is released and made again while the device's
// own thread mixes it. Run under ThreadSanitizer and AddressSanitizer as well.
TEST_F(SoundDevice, VoiceReplacedWhilePlayingOnARunningDevice) {
  use_driver("dummy");
  ASSERT_EQ(open_sound_device(), 0);
  const int slot = playback_slot(VOICE_KICK);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 400; ++i) {
    const VoiceBuffer voice = voice_of_length(2000 + static_cast<std::uint32_t>(i % 7), i);
    const PlaybackHandle b = replace_playback_buffer(slot, voice);
    ASSERT_TRUE(b);
    play_voice(b);
    play_voice(playback_buffer[playback_slot(VOICE_SNARE)]);  // an empty slot: nothing
    if (i % 8 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_TRUE(capture.texts().empty());
}

// A server the test changes at will under the device; the test runs the mixer's passes itself.
// Its open runs on the device's reconnect thread, hence the atomics.
struct FakeServer {
  std::atomic<MixerState*> mixer{nullptr};  // while its stream is open
  std::atomic<bool> answers{true};
  std::atomic<bool> gone{false};
  std::atomic<int> rate{SAMPLE_RATE};
  std::atomic<std::int64_t> delay_ns{6'000'000};
  std::atomic<int> underflows{0};
  std::atomic<int> opens{0};    // tried
  std::atomic<int> open_ms{0};  // how long an open takes, as on a server that is slow to answer
};
FakeServer fake;

void reset_fake() {
  fake.mixer = nullptr;
  fake.answers = true;
  fake.gone = false;
  fake.rate = SAMPLE_RATE;
  fake.delay_ns = 6'000'000;
  fake.underflows = 0;
  fake.opens = 0;
  fake.open_ms = 0;
}

const OutputBackend FAKE_OUTPUT = {
    .name = "fake",
    .title = "Fake",
    .server_answers = [] { return fake.answers.load(); },
    .open = [](MixerState& mixer, int) -> std::optional<OpenFailure> {
      ++fake.opens;
      std::this_thread::sleep_for(std::chrono::milliseconds(fake.open_ms.load()));
      if (!fake.answers) return OpenFailure{OpenStep::init, "no server"};
      fake.mixer = &mixer;
      fake.gone = false;
      return std::nullopt;
    },
    .close = [] { fake.mixer = nullptr; },
    .period_frames = [] { return 256; },
    .play_delay_ns = [] { return fake.delay_ns.load(); },
    .latency_frames = [] { return 300; },
    .underflows = [] { return fake.underflows.load(); },
    .sample_rate = [] { return fake.rate.load(); },
    .reads_midi = true,
    .server_gone = [] { return fake.gone.load(); },
};

// Polls as the window's timer does until `done` holds (at most 5 s); the longest poll in ms.
template <typename Done>
double poll_until(Done done) {
  double longest = 0;
  for (const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
       !done() && std::chrono::steady_clock::now() < give_up;) {
    const auto start = std::chrono::steady_clock::now();
    poll_sound_output();
    longest = std::max(
        longest, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                     .count());
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(done()) << "the device did not get there in 5 s";
  return longest;
}

// What a pass of `frames` plays (left channel), with the slot started at its first frame.
std::vector<std::int16_t> pass_starting(int slot, int frames) {
  std::vector<std::int16_t> out(static_cast<std::size_t>(frames) * 2);
  const FrameStart start{0, slot};
  mix_frames_starting(*fake.mixer.load(), out.data(), frames, 0, {&start, slot < 0 ? 0u : 1u});
  std::vector<std::int16_t> left;
  for (int i = 0; i < frames; ++i) left.push_back(out[2 * static_cast<std::size_t>(i)]);
  return left;
}

std::vector<std::int16_t> pcm16_of(const VoiceBuffer& voice, int frames) {
  std::vector<std::int16_t> values(static_cast<std::size_t>(frames), 0);
  for (std::uint32_t i = 0; i < voice.count; ++i) values[i] = pcm16_from_q31(voice.samples[i]);
  return values;
}

// The server changes its rate and its delay, goes away and comes back, all under one open
// device: the voices follow the rate, every handle and slot stays valid, a key pending at a
// remade buffer still plays, the loss is said on stderr alone, and the device reconnects by
// itself without ever holding the main thread.
TEST_F(SoundDevice, FollowsAServerThatChangesAndComesBack) {
  reset_fake();
  use_sound_output(FAKE_OUTPUT);
  ASSERT_EQ(open_sound_device(), 0);
  std::vector<VoiceBuffer> voices;
  for (int slot = 0; slot < VOICE_COUNT; ++slot) {
    voices.push_back(voice_of_length(3000 + static_cast<std::uint32_t>(slot), slot));
    ASSERT_TRUE(replace_playback_buffer(slot, voices.back()));
  }
  const std::vector<PlaybackHandle> handles(std::begin(playback_buffer), std::end(playback_buffer));
  EXPECT_EQ(pass_starting(3, 4000), pcm16_of(voices[3], 4000));
  EXPECT_EQ(metronome_play_due_ns({1'000'000'000, {}}), 1'020'000'000);

  testing::internal::CaptureStderr();
  // Every thread reads the server's new delay at once, not at the next poll.
  fake.delay_ns = 30'000'000;
  EXPECT_EQ(sound_play_delay_ns(), 30'000'000);
  EXPECT_EQ(metronome_play_due_ns({1'000'000'000, {}}), 1'040'000'000);
  fake.rate = 48000;
  play_voice(handles[1]);  // pending when its buffer is made again
  poll_sound_output();
  EXPECT_EQ(std::vector<PlaybackHandle>(std::begin(playback_buffer), std::end(playback_buffer)),
            handles);
  // The pending key starts slot 1 in the first pass; each other slot is started by its pass.
  for (const int slot : {1, 0, 2, 3, 4, 5, 6, 7}) {
    std::vector<std::int16_t> at_48k =
        resampled_pcm16(voices[static_cast<std::size_t>(slot)], 48000);
    at_48k.resize(4000);
    EXPECT_EQ(pass_starting(slot == 1 ? -1 : slot, 4000), at_48k) << "slot " << slot;
  }

  fake.gone = true;
  fake.answers = false;
  fake.underflows = 3;
  EXPECT_LT(poll_until([] { return fake.opens >= 3; }), 50);
  EXPECT_EQ(fake.mixer, nullptr) << "the stream of a lost server is closed";
  EXPECT_TRUE(sound_output_status().gone);
  EXPECT_TRUE(capture.messages().empty()) << "no box waits for the user";
  // A server that takes a second to answer each try holds no poll.
  fake.open_ms = 1000;
  const int tried = fake.opens;
  EXPECT_LT(poll_until([tried] { return fake.opens >= tried + 2; }), 50);
  fake.open_ms = 0;
  play_voice(handles[2]);  // pressed while the server was away: not played when it is back

  fake.answers = true;
  fake.rate = SAMPLE_RATE;
  fake.underflows = 2;
  poll_until([] { return !sound_output_status().gone; });
  ASSERT_NE(fake.mixer, nullptr);
  EXPECT_EQ(pass_starting(-1, 4000), std::vector<std::int16_t>(4000, 0));
  EXPECT_EQ(pass_starting(5, 4000), pcm16_of(voices[5], 4000)) << "made again at 44100 Hz";
  close_sound_device();
  const std::string log = testing::internal::GetCapturedStderr();
  for (const char* line : {"thumpa: sound output fake now runs at 48000 Hz",
                           "thumpa: sound output fake lost: its server went away",
                           "thumpa: sound output fake is back, 256-frame periods",
                           "thumpa: sound output fake closed, latency 300 frames, 5 underflows"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << " in\n" << log;
  }
  EXPECT_TRUE(capture.messages().empty());
}

// Notes keep finding a voice while an editor applies it again and again: the new buffer takes
// the old one's place with no moment in which the slot is empty. Every pass starts the slot at
// its first frame, so a pass whose first frame is silent lost its note.
TEST_F(SoundDevice, NotesFindTheVoiceWhileItIsReplaced) {
  reset_fake();
  use_sound_output(FAKE_OUTPUT);
  ASSERT_EQ(open_sound_device(), 0);
  const int slot = playback_slot(VOICE_SNARE);
  ASSERT_TRUE(replace_playback_buffer(slot, voice_of_length(500, 1)));
  std::atomic<bool> applying{true};
  std::atomic<int> passes{0};
  int silent = 0;
  std::thread midi([&] {
    const FrameStart start{0, slot};
    std::int16_t out[2 * 64];
    while (applying) {
      mix_frames_starting(*fake.mixer.load(), out, 64, 0, {&start, 1});
      silent += out[0] == 0;
      ++passes;
    }
  });
  for (int i = 0; i < 300; ++i) {
    for (const int seen = passes; passes == seen;) std::this_thread::yield();
    ASSERT_TRUE(replace_playback_buffer(slot, voice_of_length(500, i)));
  }
  applying = false;
  midi.join();
  EXPECT_EQ(silent, 0) << "of " << passes << " notes";
}

}  // namespace
}  // namespace thumpa
