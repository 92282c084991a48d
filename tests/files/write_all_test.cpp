// "Write All": eight files under fixed names, or a stop at the first that fails.
#include "files/write_all.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>

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

// Whatever keeps "snare1.wav" from being written: "kick.wav" is there afterwards, nothing after
// the snare is written, and the one message names the file.
TEST(WriteAll, StopsAtTheFirstFileThatFails) {
  const struct {
    const char* what;
    bool normal_user;
    std::function<void(ScratchFolder&)> block_snare;
    const char* reason;
  } cases[] = {
      // A folder cannot become a file, even for root.
      {"a folder of that name", false,
       [](ScratchFolder& d) { test::fs::create_directory(d.path / "snare1.wav"); },
       "Is a directory"},
      // The folder would let the user replace it; the file's own mode must still count.
      {"a read-only file of that name", true,
       [](ScratchFolder& d) {
         test::write_file(d / "snare1.wav", "read-only take");
         test::give_to_normal_user(d / "snare1.wav");
         ASSERT_EQ(::chmod((d / "snare1.wav").c_str(), 0444), 0);
       },
       "Permission denied"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchFolder dir;
    if (c.normal_user) test::give_to_normal_user(dir.path.string());
    c.block_snare(dir);
    const bool snare_file = test::fs::is_regular_file(dir.path / "snare1.wav");
    const std::string snare_before = snare_file ? test::read_file(dir / "snare1.wav") : "";
    EightVoices voices;
    const std::string expected_text =
        "Can't write the WAV file \"" + (dir / "snare1.wav") + "\": " + c.reason;
    auto write_all = [&] {
      MessageRecorder messages;
      if (write_all_wavs(dir.path.string(), voices.table)) return 1;
      return messages.shown.size() == 1 && messages.shown[0].text == expected_text &&
                     messages.shown[0].caption.empty()
                 ? 0
                 : 2;
    };
    const int result = c.normal_user ? test::as_normal_user(write_all) : write_all();
    if (result == test::CANNOT_CHANGE_USER) GTEST_SKIP() << "cannot become a normal user";
    EXPECT_EQ(result, 0);
    EXPECT_EQ(dir.entries(), (std::set<std::string>{"kick.wav", "snare1.wav"}));
    if (snare_file) {
      EXPECT_EQ(test::read_file(dir / "snare1.wav"), snare_before);
    } else {
      EXPECT_TRUE(test::fs::is_directory(dir.path / "snare1.wav"));
    }
  }
}

}  // namespace
}  // namespace thumpa
