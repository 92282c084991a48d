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
    setenv("SDL_DISKAUDIODELAY", "0", 1);
  }
  void TearDown() override {
    close_sound_device();
    fs::remove_all(dir);
    unsetenv("SDL_AUDIODRIVER");
    unsetenv("SDL_DISKAUDIOFILE");
    unsetenv("SDL_DISKAUDIODELAY");
  }
};

TEST_F(SoundDevice, DiskDeviceRecordsExactlyThePlayedVoiceOnBothChannels) {
  const fs::path file = dir / "out.raw";
  use_driver("disk", file);
  ASSERT_EQ(open_sound_device(), 0)
      << (capture.texts().empty() ? "" : capture.messages()[0].detail);
  EXPECT_TRUE(sound_device_open());
  EXPECT_EQ(sound_device_period_frames(), 256);

  const VoiceBuffer voice = voice_of_length(3000, 5);
  PlaybackBuffer* buffer = make_playback_buffer(voice);
  ASSERT_NE(buffer, nullptr);
  play_voice(nullptr);  // does nothing
  const auto written_before = fs::file_size(file);
  play_voice(buffer);
  // Without pacing the device writes far faster than real time: wait until it has written
  // plenty more than the voice's 3000 frames since the request.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (fs::file_size(file) < written_before + 100000 &&
         std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  close_sound_device();
  EXPECT_FALSE(sound_device_open());

  std::ifstream in(file, std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
  ASSERT_EQ(bytes.size() % 4, 0u);
  std::vector<std::int16_t> left, right;
  for (std::size_t i = 0; i + 3 < bytes.size(); i += 4) {
    std::int16_t l, r;
    std::memcpy(&l, &bytes[i], 2);
    std::memcpy(&r, &bytes[i + 2], 2);
    left.push_back(l);
    right.push_back(r);
  }
  EXPECT_EQ(left, right);
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
  } cases[] = {
      {"no-such-driver", "", "Failed to create DirectSound COM object"},
      // The disk driver cannot create its file under a regular file.
      {"disk", "plain-file/out.raw", "Failed to Initialize DirectSound object"},
  };
  std::ofstream(dir / "plain-file") << "x";
  for (const auto& c : cases) {
    MessageRecorder local;
    use_driver(c.driver, *c.file ? dir / c.file : fs::path{});
    EXPECT_EQ(open_sound_device(), -1) << c.driver;
    EXPECT_FALSE(sound_device_open());
    const auto shown = local.messages();
    ASSERT_EQ(shown.size(), 1u) << c.driver;
    EXPECT_EQ(shown[0].text, c.message);
    EXPECT_EQ(shown[0].caption, APP_CAPTION);
    EXPECT_EQ(shown[0].icon, MessageIcon::error);
    EXPECT_FALSE(shown[0].detail.empty()) << "the system's reason is the detail text";

    // Nothing was left half open: a buffer cannot be made, silently.
    EXPECT_EQ(make_playback_buffer(voice_of_length(10, 1)), nullptr);
    EXPECT_EQ(local.messages().size(), 1u);
  }
}

TEST_F(SoundDevice, BufferThatCannotBeMadeShowsTwoMessages) {
  use_driver("dummy");
  ASSERT_EQ(open_sound_device(), 0);
  const VoiceBuffer voice = voice_of_length(100, 1);

  const auto expect_refused = [&](const char* why) {
    MessageRecorder local;
    EXPECT_EQ(make_playback_buffer(voice), nullptr) << why;
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

  std::vector<PlaybackBuffer*> buffers;
  for (int i = 0; i < MIXER_VOICES; ++i) buffers.push_back(make_playback_buffer(voice));
  EXPECT_EQ(std::count(buffers.begin(), buffers.end(), nullptr), 0);
  expect_refused("every place of the mixer taken");
  release_playback_buffer(buffers.back());
  EXPECT_NE(make_playback_buffer(voice), nullptr) << "a released place is free again";
}

TEST_F(SoundDevice, NoBufferWithoutAnOpenDeviceAndNoneSurvivesTheClose) {
  const VoiceBuffer voice = voice_of_length(100, 1);
  EXPECT_EQ(make_playback_buffer(voice), nullptr);
  EXPECT_EQ(replace_playback_buffer(0, voice), nullptr);

  use_driver("dummy");
  ASSERT_EQ(open_sound_device(), 0);
  for (int slot = 0; slot < VOICE_COUNT; ++slot) {
    PlaybackBuffer* made = replace_playback_buffer(slot, voice);
    EXPECT_NE(made, nullptr);
    EXPECT_EQ(playback_buffer[slot], made);
  }
  EXPECT_EQ(replace_playback_buffer(VOICE_COUNT, voice), nullptr);
  EXPECT_EQ(replace_playback_buffer(-1, voice), nullptr);
  PlaybackBuffer* old = playback_buffer[3];
  close_sound_device();
  for (PlaybackBuffer* slot : playback_buffer) EXPECT_EQ(slot, nullptr);
  // Buffers went with the device: releasing or playing one now must not touch it.
  release_playback_buffer(old);
  play_voice(old);

  ASSERT_EQ(open_sound_device(), 0) << "the device opens again after a close";
  EXPECT_NE(replace_playback_buffer(3, voice), nullptr);
  EXPECT_TRUE(capture.texts().empty());
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
    PlaybackBuffer* b = replace_playback_buffer(slot, voice);
    ASSERT_NE(b, nullptr);
    play_voice(b);
    play_voice(playback_buffer[playback_slot(VOICE_SNARE)]);  // an empty slot: nothing
    if (i % 8 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_TRUE(capture.texts().empty());
}

}  // namespace
}  // namespace thumpa
