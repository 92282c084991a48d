// The settings file: its exact layout, reading it back, the scanner's way with damaged text,
// and the messages of saving and loading.
#include "files/settings_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <sstream>
#include <type_traits>
#include <vector>

#include "file_test_support.h"
#include "files/safe_file.h"
#include "tests/support/message_recorder.h"

namespace thumpa {
namespace {

using test::read_file;
using test::ScratchFolder;

constexpr std::size_t FIELD_COUNT = 48 + 4 * SHAPING_SLOTS;
static_assert(std::is_trivially_copyable_v<BankParams>);
static_assert(sizeof(BankParams) == FIELD_COUNT * sizeof(std::int32_t));

// Parameters in which every field differs from every other and from its default, extremes
// and negative values included, so that a field written or read in the wrong place shows.
BankParams distinct_params() {
  std::int32_t values[FIELD_COUNT];
  for (std::size_t i = 0; i < FIELD_COUNT; ++i) {
    values[i] = static_cast<std::int32_t>(-7000001 - 1234567 * static_cast<std::int64_t>(i));
  }
  values[0] = INT32_MIN;
  values[FIELD_COUNT - 1] = INT32_MAX;
  BankParams p;
  std::memcpy(&p, values, sizeof values);
  return p;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The first `count` lines of a text.
std::string head(const std::string& text, int count) {
  std::size_t end = 0;
  for (int i = 0; i < count; ++i) end = text.find('\n', end) + 1;
  return text.substr(0, end);
}

std::string replace_line(const std::string& text, int line, const std::string& with) {
  std::vector<std::string> lines = lines_of(text);
  lines[line - 1] = with;
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

TEST(SettingsText, LayoutOfTheDefaults) {
  const std::string text = settings_text(BankParams{});
  const std::vector<std::string> lines = lines_of(text);
  ASSERT_EQ(lines.size(), 129u);
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find('\r'), std::string::npos);
  const struct {
    int line;
    const char* text;
  } expected[] = {
      {1, "Kick:"},     {2, "44100"},     {4, "107374182"}, {9, "644245094"},    {10, ""},
      {11, "Snare:"},   {14, "350"},      {15, "300"},      {16, "6442450"},     {19, "1503238552"},
      {20, ""},         {21, "Closed:"},  {24, "20"},       {27, "Open:"},       {30, "10"},
      {31, "21474836"}, {33, "Blipp:"},   {35, "10000"},    {38, "214748"},      {40, "Clave:"},
      {43, "8589934"},  {45, "Cowbell:"}, {49, "16"},       {51, "Oscillator:"}, {54, "4"},
      {57, "22050"},    {63, "8"},        {64, ""},         {65, "Dist/Norm:"},  {66, "1073741823"},
      {67, "-1"},       {68, "1"},        {69, "0"},        {126, "1073741823"}, {127, "-1"},
      {129, "0"},
  };
  for (const auto& e : expected) EXPECT_EQ(lines[e.line - 1], e.text) << "line " << e.line;
}

TEST(SettingsText, ValuesAreSignedDecimals) {
  BankParams p;
  p.kick.a_freq = INT32_MIN;
  p.kick.start_freq = INT32_MAX;
  p.kick.stop_freq = 0;
  p.shaping.dist_type[15] = -3;
  const std::vector<std::string> lines = lines_of(settings_text(p));
  EXPECT_EQ(lines[2], "-2147483648");
  EXPECT_EQ(lines[4], "2147483647");
  EXPECT_EQ(lines[5], "0");
  EXPECT_EQ(lines[66 + 4 * 15], "-3");
}

TEST(SettingsText, EveryFieldReadsBack) {
  const BankParams saved = distinct_params();
  BankParams loaded;
  read_settings_text(settings_text(saved), loaded);
  EXPECT_EQ(loaded, saved);
}

// What a damaged or unusual text loads, starting from the defaults. `edit` applies to the
// expected result the changes that the text should make.
TEST(SettingsText, DamagedAndUnusualTexts) {
  const BankParams other = distinct_params();
  const std::string full = settings_text(other);
  auto all = [&](BankParams& p) { p = other; };
  std::string crlf;
  for (char c : full) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  std::string without_blipp = head(full, 32) + full.substr(head(full, 39).size());
  std::string spaced;
  for (const auto& line : lines_of(full)) spaced += " \t" + line + "  \n\n\v\f";

  const struct {
    const char* what;
    std::string text;
    std::function<void(BankParams&)> edit;
  } cases[] = {
      {"empty", "", [](BankParams&) {}},
      {"blanks only", " \n\r\n\t", [](BankParams&) {}},
      {"CR LF line ends", crlf, all},
      {"extra blanks and blank lines", spaced, all},
      {"no line end after the last value", full.substr(0, full.size() - 1), all},
      {"first four headers may say anything",
       replace_line(
           replace_line(replace_line(replace_line(full, 1, "Bassdrum"), 11, "x"), 21, "???"), 27,
           "Open"),
       all},
      {"ends after the Snare", head(full, 19),
       [&](BankParams& p) {
         p.kick = other.kick;
         p.snare = other.snare;
       }},
      {"misspelt Blipp header", replace_line(full, 33, "Blip:"),
       [&](BankParams& p) {
         p.kick = other.kick;
         p.snare = other.snare;
         p.closed = other.closed;
         p.open = other.open;
       }},
      {"a missing section: the next header still matches", without_blipp,
       [&](BankParams& p) {
         p = other;
         p.blipp = BankParams{}.blipp;
       }},
      {"12abc loads 12 and stops the section there", replace_line(full, 35, "12abc"),
       [&](BankParams& p) {
         p.kick = other.kick;
         p.snare = other.snare;
         p.closed = other.closed;
         p.open = other.open;
         p.blipp.sample_rate = other.blipp.sample_rate;
         p.blipp.start_freq = 12;
       }},
      {"signs", replace_line(replace_line(replace_line(full, 2, "+300"), 3, "-5"), 4, "-0"),
       [&](BankParams& p) {
         p = other;
         p.kick.sample_rate = 300;
         p.kick.a_freq = -5;
         p.kick.a_decay = 0;
       }},
      {"a sign alone stops the section", replace_line(full, 129, "+"),  // the last value of all
       [&](BankParams& p) {
         p = other;
         p.shaping.normalize_after[15] = BankParams{}.shaping.normalize_after[15];
       }},
      {"numbers beyond 32 bits saturate",
       replace_line(
           replace_line(replace_line(replace_line(full, 2, "2147483648"), 3, "-2147483649"), 4,
                        "-2147483648"),
           5, "000000000000000000000000099999999999999999999999999999"),
       [&](BankParams& p) {
         p = other;
         p.kick.sample_rate = INT32_MAX;
         p.kick.a_freq = INT32_MIN;
         p.kick.a_decay = INT32_MIN;
         p.kick.start_freq = INT32_MAX;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    BankParams expected;
    c.edit(expected);
    BankParams loaded;
    read_settings_text(c.text, loaded);
    EXPECT_EQ(loaded, expected);
  }
}

TEST(SettingsFile, SavedFileLoadsBack) {
  ScratchFolder dir;
  MessageRecorder messages;
  const BankParams saved = distinct_params();
  ASSERT_TRUE(save_settings_file(dir / "my.zog", saved));
  EXPECT_EQ(read_file(dir / "my.zog"), settings_text(saved));
  BankParams loaded;
  ASSERT_TRUE(read_settings_file(dir / "my.zog", loaded));
  EXPECT_EQ(loaded, saved);
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_EQ(dir.entries(), std::set<std::string>{"my.zog"});
}

TEST(SettingsFile, EmptyFileLoadsAndChangesNothing) {
  ScratchFolder dir;
  test::write_file(dir / "empty.zog", "");
  MessageRecorder messages;
  const BankParams before = distinct_params();
  BankParams params = before;
  EXPECT_TRUE(read_settings_file(dir / "empty.zog", params));
  EXPECT_EQ(params, before);
  EXPECT_TRUE(messages.shown.empty());
}

TEST(SettingsFile, UnreadableFileChangesNothing) {
  ScratchFolder dir;
  test::fs::create_directory(dir / "folder.zog");
  ASSERT_EQ(::mkfifo((dir / "pipe.zog").c_str(), 0644), 0);  // would wait for a writer
  const struct {
    std::string name;
    std::string reason;
  } cases[] = {{"missing.zog", error_text(ENOENT)},
               {"folder.zog", error_text(EISDIR)},
               {"pipe.zog", "Not a regular file"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MessageRecorder messages;
    const BankParams before = distinct_params();
    BankParams params = before;
    test::HangGuard guard(10);
    EXPECT_FALSE(read_settings_file(dir / c.name, params));
    EXPECT_EQ(params, before);
    ASSERT_EQ(messages.shown.size(), 1u);
    const UserMessage& m = messages.shown[0];
    EXPECT_EQ(m.text, "Cant open file for reading");
    EXPECT_EQ(m.caption, APP_CAPTION);
    EXPECT_EQ(m.icon, MessageIcon::error);
    EXPECT_NE(m.detail.find(dir / c.name), std::string::npos);
    EXPECT_NE(m.detail.find(c.reason), std::string::npos);
  }
}

TEST(SettingsFile, FileThatCannotBeCreated) {
  ScratchFolder dir;
  test::write_file(dir / "plain", "");
  MessageRecorder messages;
  EXPECT_FALSE(save_settings_file(dir / "plain/s.zog", BankParams{}));
  ASSERT_EQ(messages.shown.size(), 1u);
  const UserMessage& m = messages.shown[0];
  EXPECT_EQ(m.text, "Cant open file for writing");
  EXPECT_EQ(m.caption, APP_CAPTION);
  EXPECT_EQ(m.icon, MessageIcon::error);
  EXPECT_NE(m.detail.find(error_text(ENOTDIR)), std::string::npos);
}

// A disk that fills up while saving must not cost the user the settings already on it.
TEST(SettingsFile, FailedWriteKeepsTheOldFile) {
  ScratchFolder dir;
  const std::string old_text = settings_text(distinct_params());
  test::write_file(dir / "keep.zog", old_text);
  MessageRecorder messages;
  {
    test::FileSizeLimit limit(100);
    EXPECT_FALSE(save_settings_file(dir / "keep.zog", BankParams{}));
  }
  EXPECT_EQ(read_file(dir / "keep.zog"), old_text);
  EXPECT_EQ(dir.entries(), std::set<std::string>{"keep.zog"});
  ASSERT_EQ(messages.shown.size(), 1u);
  const UserMessage& m = messages.shown[0];
  EXPECT_EQ(m.text,
            "Can't save the settings file \"" + (dir / "keep.zog") + "\": " + error_text(EFBIG));
  EXPECT_EQ(m.caption, APP_CAPTION);
  EXPECT_EQ(m.icon, MessageIcon::error);
}

}  // namespace
}  // namespace thumpa
