// The plugin window's line protocol, what the window does with a reported kit, and how the
// end of its process is told.
#include "lv2ui/ui_protocol.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "files/settings_file.h"
#include "lv2ui/ui_window_process.h"
#include "lv2ui/ui_window_state.h"

namespace thumpa {
namespace {

TEST(UiProtocol, LinesSplitAcrossReadsComeOutWholeAndOverlongOnesAreSkipped) {
  UiLineReader reader;
  EXPECT_TRUE(take_ui_lines(reader, "control 3 0.0").empty());
  const auto first = take_ui_lines(reader, "5\nplay 4\nki");
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0], "control 3 0.05");
  EXPECT_EQ(first[1], "play 4");
  // A line past the limit is dropped as a whole, in however many reads it comes; the next
  // line is still read.
  take_ui_lines(reader, std::string(MAX_UI_LINE, 'x'));
  const auto after = take_ui_lines(reader, std::string(10, 'y') + "\nplay 1\n");
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0], "play 1");
}

TEST(UiProtocol, ValuesSurviveTheTripAndBadLinesAreNoMessages) {
  for (float value : {0.05f, 1e-6f, 20000.0f, 0.1f + 1e-8f}) {
    const std::string line = ui_line({UiWord::control, 71, value, 0, {}});
    const auto message = parse_ui_line(std::string_view(line).substr(0, line.size() - 1));
    ASSERT_TRUE(message) << line;
    EXPECT_EQ(message->index, 71u);
    EXPECT_EQ(message->value, value) << line;  // exact: the plugin stores what the window meant
  }
  const auto kit = parse_ui_line("kit /home/a b/kit.zog");
  ASSERT_TRUE(kit);
  EXPECT_EQ(kit->path, "/home/a b/kit.zog");
  // A path holding a newline would smuggle a second message into the stream.
  EXPECT_EQ(ui_line({UiWord::kit, 0, 0, 0, "/tmp/x\nplay 4"}), "");
  for (const char* bad : {"control 3", "control x 1", "control 3 1 2", "control 3 nan",
                          "control -1 1", "play", "play 4x", "window", "size 760", "shout 1"}) {
    EXPECT_FALSE(parse_ui_line(bad)) << bad;
  }
}

TEST(UiWindowState, OnlyAKitThisWindowOpenedOrAChangedKitOverwritesTheHostsControls) {
  const std::string path = testing::TempDir() + "ui_state_kit.zog";
  BankParams kit;
  kit.kick.start_freq = 123;
  ASSERT_TRUE(save_settings_file(path, kit));
  const auto ports = control_ports();
  std::uint32_t kick_start = 0;
  while (ports[kick_start].symbol != "kick_start_freq") ++kick_start;

  // A window opening on a running plugin: the host's value was moved after the kit was loaded
  // and must stay.
  WindowState state;
  take_control(state, kick_start, 400);
  KitReport report = take_kit(state, path);
  EXPECT_EQ(report.error, "");
  EXPECT_TRUE(report.to_write.empty());
  EXPECT_EQ(state.params.kick.start_freq, 400);

  // The kit this window asked for: every control follows the file.
  state.opening = path;
  report = take_kit(state, path);
  EXPECT_EQ(report.to_write.size(), CONTROL_COUNT);
  EXPECT_EQ(state.params.kick.start_freq, 123);
  EXPECT_EQ(state.values[kick_start], 123);

  // A file that is gone changes nothing the window shows.
  take_control(state, kick_start, 500);
  report = take_kit(state, path + ".missing");
  EXPECT_NE(report.error, "");
  EXPECT_TRUE(report.to_write.empty());
  EXPECT_EQ(state.params.kick.start_freq, 500);
  std::remove(path.c_str());
}

// Only a crash starts the window again: a window that closed itself (status 0) is not, or the
// user could never close a window of its own. The programs stand in for windows that end by
// themselves at once.
TEST(WindowProcess, AFailedEndIsACrashAndAClosedWindowIsNot) {
  for (const auto& [program, crashed] : {std::pair{"/bin/true", false}, {"/bin/false", true}}) {
    WindowProcess window;
    ASSERT_TRUE(start_window(window, program, 0));
    std::vector<std::string> lines;
    EXPECT_FALSE(wait_for_window(window, 5000, lines)) << program;  // its end closes at exit
    EXPECT_EQ(stop_window(window), crashed) << program;
    EXPECT_FALSE(window_running(window));
  }
}

}  // namespace
}  // namespace thumpa
