// The bank operations with a real (dummy-driver) sound device: render order, one normalisation
// per voice, playback buffers, and the messages and window requests of each failure.
#include "bank/voice_bank.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "audio/sound_device.h"
#include "files/settings_file.h"
#include "files/write_all.h"
#include "synth/generators.h"
#include "synth/messages.h"
#include "synth/render.h"
#include "synth/shaping.h"
#include "tests/support/message_recorder.h"

namespace thumpa {
namespace {

std::vector<Q31> samples_of(const VoiceBuffer& v) {
  return v.samples ? std::vector<Q31>(v.samples.get(), v.samples.get() + v.count)
                   : std::vector<Q31>{};
}

std::int64_t peak_of(const VoiceBuffer& v) {
  std::int64_t peak = 0;
  for (Q31 s : samples_of(v)) peak = std::max(peak, std::abs(std::int64_t{s}));
  return peak;
}

// Every allocation fails after the first `allowed` ones.
int allocations_left = 0;
void* failing_allocate(std::size_t bytes) {
  return allocations_left-- > 0 ? std::malloc(bytes) : nullptr;
}

class Bank : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(setenv("SDL_AUDIODRIVER", "dummy", 1), 0);
    ASSERT_EQ(setenv("THUMPA_AUDIO", "sdl", 1), 0);
    ASSERT_EQ(open_sound_device(), 0);
  }
  void TearDown() override {
    sample_memory = saved_memory;
    close_sound_device();
  }
  SampleMemory saved_memory = sample_memory;
  VoiceBank bank;
};

TEST_F(Bank, InitRendersEveryVoiceNormalisedWithABuffer) {
  MessageRecorder r;
  init_voice_bank(bank);
  EXPECT_TRUE(r.shown.empty());
  EXPECT_EQ(r.destroy_requests, 0);
  for (VoiceId id : MENU_ORDER) {
    SCOPED_TRACE(id);
    const VoiceBuffer& v = bank.voices[id];
    EXPECT_GE(v.count, 10u);
    EXPECT_LE(v.count, MAX_VOICE_SAMPLES);
    EXPECT_GE(peak_of(v), 2147483646);
    EXPECT_TRUE(playback_buffer[playback_slot(id)]);
  }
  EXPECT_TRUE(bank.voices[7].empty());
}

TEST_F(Bank, LoadedShapingIsHeardOnlyAfterAnEdit) {
  MessageRecorder r;
  init_voice_bank(bank);
  const std::vector<Q31> plain_kick = samples_of(bank.voices[VOICE_KICK]);
  bank.params.shaping.dist_type[VOICE_KICK] = DIST_AP;
  rerender_voice_bank(bank);
  EXPECT_EQ(samples_of(bank.voices[VOICE_KICK]), plain_kick);  // never distorted by the bank

  rebuild_voice(bank, VOICE_KICK);  // the editors' rebuild shapes it
  VoiceBuffer expected;
  make_kick(expected, bank.params.kick);
  shape_voice(VOICE_KICK, expected, bank.params.shaping);
  EXPECT_EQ(samples_of(bank.voices[VOICE_KICK]), samples_of(expected));
  EXPECT_NE(samples_of(bank.voices[VOICE_KICK]), plain_kick);
  EXPECT_TRUE(r.shown.empty());
}

TEST_F(Bank, ResetRestoresEveryDefaultAndKeepsTheVoiceObjects) {
  MessageRecorder r;
  init_voice_bank(bank);
  const VoiceBuffer* blipp = &bank.voices[VOICE_BLIPP];
  const std::vector<Q31> default_snare = samples_of(bank.voices[VOICE_SNARE]);
  bank.params.snare.freq1 = 500;
  bank.params.shaping.normalize_after[VOICE_SNARE] = 1;
  bank.params.shaping.dist_type[VOICE_SNARE] = DIST_ZOG;
  rebuild_voice(bank, VOICE_SNARE);
  ASSERT_NE(samples_of(bank.voices[VOICE_SNARE]), default_snare);
  reset_voice_bank(bank);
  EXPECT_EQ(bank.params, BankParams{});
  EXPECT_EQ(samples_of(bank.voices[VOICE_SNARE]), default_snare);
  EXPECT_EQ(&bank.voices[VOICE_BLIPP], blipp);
  EXPECT_TRUE(r.shown.empty());
}

TEST_F(Bank, RenderFailureAtStartUpWarnsAsksToDestroyTheWindowAndStops) {
  MessageRecorder r;
  allocations_left = 1;  // the Blipp renders, the Closed Hi-hat does not
  sample_memory.allocate = failing_allocate;
  init_voice_bank(bank);
  ASSERT_EQ(r.texts(), std::vector<std::string>{"Can't make closed!"});
  EXPECT_EQ(r.shown[0].icon, MessageIcon::warning);
  EXPECT_EQ(r.shown[0].caption, "");
  EXPECT_EQ(r.destroy_requests, 1);
  EXPECT_FALSE(bank.voices[VOICE_BLIPP].empty());
  EXPECT_TRUE(bank.voices[VOICE_OPEN_HAT].empty());  // the program is ending: not rendered
}

TEST_F(Bank, EditorRebuildFailureKeepsTheOldBuffer) {
  init_voice_bank(bank);
  const PlaybackHandle old_buffer = playback_buffer[playback_slot(VOICE_COWBELL)];
  MessageRecorder r;
  allocations_left = 0;
  sample_memory.allocate = failing_allocate;
  rebuild_voice(bank, VOICE_COWBELL);
  EXPECT_EQ(r.texts(), std::vector<std::string>{"Can't make cowbell!"});
  EXPECT_EQ(r.shown[0].icon, MessageIcon::error);
  EXPECT_EQ(r.destroy_requests, 0);
  EXPECT_EQ(playback_buffer[playback_slot(VOICE_COWBELL)], old_buffer);
}

TEST_F(Bank, WithoutADeviceEveryVoiceReportsItsBuffer) {
  close_sound_device();
  MessageRecorder r;
  // A message box runs commands in its own event loop: no box opens before the bank is whole.
  bool whole_at_first_box = false;
  r.on_show = [&](const UserMessage&) {
    if (r.shown.empty()) whole_at_first_box = !bank.voices[VOICE_OSCILLATOR].empty();
  };
  init_voice_bank(bank);
  EXPECT_TRUE(whole_at_first_box);
  EXPECT_EQ(r.texts(),
            (std::vector<std::string>{
                "Can't make blipp buffer!", "Can't make Ch buffer!", "Can't make Oh buffer!",
                "Can't make Clave buffer!", "Can't make Kick buffer!", "Can't make Snare buffer!",
                "Can't make Cowbell buffer!", "Can't make Oscillator buffer!"}));
  for (const UserMessage& m : r.shown) EXPECT_EQ(m.icon, MessageIcon::error);
  EXPECT_FALSE(bank.voices[VOICE_OSCILLATOR].empty());  // rendered, only not playable

  // A voice that got no buffer gets one on "Reset" once the device is there.
  ASSERT_EQ(open_sound_device(), 0);
  MessageRecorder after;
  reset_voice_bank(bank);
  EXPECT_TRUE(after.shown.empty());
  for (VoiceId id : MENU_ORDER) EXPECT_TRUE(playback_buffer[playback_slot(id)]);
  rebuild_voice(bank, VOICE_KICK);
  close_sound_device();
  rebuild_voice(bank, VOICE_KICK);
  EXPECT_EQ(after.texts(), std::vector<std::string>{"Can't make kick buffer!"});
}

std::string file_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// A settings file can hold anything; the engine's guards keep every render of it safe.
TEST_F(Bank, AbsurdSettingsRenderTheWholeBankWithoutFault) {
  init_voice_bank(bank);
  std::string text;
  for (const char* header : {"Kick:", "Snare:"}) {
    text += std::string(header) +
            "\n-44100 1000000000 -2147483648 1000000000 -1000000000 0 0 "
            "2147483647\n";
  }
  text += "Closed: 0 1000000000 0 0\nOpen: 0 -1000000000 -5 -2147483648\n";
  text += "Blipp: -1 1000000000 -1000000000 0 0\n";
  text += "Clave: 0 1000000000 -2147483648\n";
  text += "Cowbell: 0 1000000000 0 0\n";
  text += "Oscillator: 0 1000000000 2 -1 2147483647 -1 0 -2147483648 0 1000000000 -1000000000 0\n";
  text += "Dist/Norm:\n";
  for (int slot = 0; slot < SHAPING_SLOTS; ++slot) text += "-2147483648 3 1 1\n";
  read_settings_text(text, bank.params);
  EXPECT_EQ(bank.params.snare.resonance, 0);
  EXPECT_EQ(bank.params.cowbell.dist, 0);
  EXPECT_EQ(bank.params.osc.sample_rate, 0);
  MessageRecorder r;
  rerender_voice_bank(bank);
  for (VoiceId id : MENU_ORDER) {
    EXPECT_GE(bank.voices[id].count, 10u);
    rebuild_voice(bank, id);  // shaped with the absurd shaping too
    EXPECT_GE(bank.voices[id].count, 10u);
  }
  EXPECT_TRUE(r.shown.empty());
}

// thumpa-render --settings renders a saved file to the bytes the program writes after loading it.
TEST_F(Bank, RenderToolMatchesTheBankAfterLoadingSettings) {
  const auto dir = std::filesystem::path(testing::TempDir()) / "bank_settings_round_trip";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir / "program");
  BankParams edited;
  edited.kick.start_freq = 420;
  edited.snare.mix = 1073741823;
  edited.osc.wave = WAVE_SAW;
  edited.shaping.dist_type[VOICE_KICK] = DIST_AP;  // the bank never distorts
  ASSERT_TRUE(save_settings_file((dir / "edited.zog").string(), edited));

  MessageRecorder r;
  init_voice_bank(bank);
  ASSERT_TRUE(read_settings_file((dir / "edited.zog").string(), bank.params));
  rerender_voice_bank(bank);
  const VoiceBuffer* voices[VOICE_ID_COUNT];
  for (int id = 0; id < VOICE_ID_COUNT; ++id) voices[id] = &bank.voices[id];
  ASSERT_TRUE(write_all_wavs((dir / "program").string(), voices));

  const std::string command = std::string(THUMPA_RENDER) + " --settings " +
                              (dir / "edited.zog").string() + " --out " + (dir / "tool").string();
  ASSERT_EQ(std::system(command.c_str()), 0);
  for (VoiceId id : FILE_ORDER) {
    const char* name = voice_facts(id).wav_name;
    SCOPED_TRACE(name);
    const std::string program = file_bytes(dir / "program" / name);
    EXPECT_GT(program.size(), 44u);
    EXPECT_EQ(program, file_bytes(dir / "tool" / name));
  }
}

}  // namespace
}  // namespace thumpa
