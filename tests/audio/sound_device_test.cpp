// The sound service on a real SDL device. SDL's file-writing driver ("disk") and its silent
// one ("dummy") stand in for a sound card, so no sound server is needed.
#include "audio/sound_device.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

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

TEST_F(SoundDevice, BufferThatCannotBeMadeShowsTwoMessages) {
  use_driver("dummy");
  ASSERT_EQ(open_sound_device(), 0);
  const VoiceBuffer voice = voice_of_length(100, 1);

  const auto expect_refused = [&](const char* why) {
    MessageRecorder local;
    EXPECT_FALSE(make_playback_buffer(voice)) << why;
    EXPECT_EQ(local.texts(), (std::vector<std::string>{"Cannot create buffer", "Out of memory"}))
        << why;
    for (const auto& m : local.messages()) {
      EXPECT_EQ(m.caption, APP_CAPTION);
      EXPECT_EQ(m.icon, MessageIcon::error);
    }
  };

  const PlaybackMemory saved = playback_memory;
  playback_memory.allocate = [](std::size_t) -> void* { return nullptr; };
  expect_refused("no memory for the samples");
  playback_memory = saved;

  std::vector<PlaybackHandle> buffers;
  for (int i = 0; i < MIXER_VOICES; ++i) buffers.push_back(make_playback_buffer(voice));
  EXPECT_EQ(std::count(buffers.begin(), buffers.end(), PlaybackHandle{}), 0);
  expect_refused("every place of the mixer taken");
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

}  // namespace
}  // namespace thumpa
