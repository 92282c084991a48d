// "Write All": eight files under fixed names, or a stop at the first that fails.
#include "files/write_all.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "file_test_support.h"
#include "tests/support/message_recorder.h"

namespace thumpa {
namespace {

using test::ScratchFolder;

// Eight voices of different lengths, so each file shows which voice went into it.
struct EightVoices {
  VoiceBuffer buffers[VOICE_ID_COUNT];
  const VoiceBuffer* table[VOICE_ID_COUNT] = {};
  EightVoices() {
    for (VoiceId id : MENU_ORDER) {
      buffers[id].count = 10 + static_cast<std::uint32_t>(id);
      buffers[id].samples.reset(static_cast<Q31*>(std::calloc(buffers[id].count, sizeof(Q31))));
      table[id] = &buffers[id];
    }
  }
};

TEST(WriteAll, WritesEveryVoiceUnderItsName) {
  ScratchFolder dir;
  EightVoices voices;
  MessageRecorder messages;
  EXPECT_TRUE(write_all_wavs(dir.path.string(), voices.table));
  // Each voice has 10 + VoiceId samples, so a file's size tells which voice it holds.
  const std::pair<const char*, int> expected[] = {
      {"kick.wav", 3},  {"snare1.wav", 5}, {"ch.wav", 2},      {"oh.wav", 4},
      {"blipp.wav", 0}, {"clave.wav", 1},  {"cowbell.wav", 6}, {"osc.wav", 8}};
  std::set<std::string> names;
  for (const auto& [name, voice] : expected) {
    names.insert(name);
    EXPECT_EQ(test::fs::file_size(dir.path / name), 44u + 2u * (10u + voice)) << name;
  }
  EXPECT_EQ(dir.entries(), names);
  ASSERT_EQ(messages.shown.size(), 1u);
  EXPECT_EQ(messages.shown[0].text, "All files written OK...");
  EXPECT_EQ(messages.shown[0].caption, "Files written");
  EXPECT_EQ(messages.shown[0].icon, MessageIcon::warning);
}

TEST(WriteAll, StopsAtTheFirstFileThatFails) {
  ScratchFolder dir;
  test::fs::create_directory(dir.path / "snare1.wav");  // cannot become a file, even for root
  EightVoices voices;
  MessageRecorder messages;
  EXPECT_FALSE(write_all_wavs(dir.path.string(), voices.table));
  EXPECT_EQ(dir.entries(), (std::set<std::string>{"kick.wav", "snare1.wav"}));
  EXPECT_TRUE(test::fs::is_directory(dir.path / "snare1.wav"));
  ASSERT_EQ(messages.shown.size(), 1u);
  EXPECT_NE(messages.shown[0].text.find(dir / "snare1.wav"), std::string::npos);
  EXPECT_EQ(messages.shown[0].caption, "");
}

}  // namespace
}  // namespace thumpa
