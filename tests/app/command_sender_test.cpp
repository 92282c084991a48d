// Commands sent from another thread: they run on the main thread, even inside a modal loop,
// with the time their sound is due, and a sender waiting while the main thread stops the
// metronome is released.
#include "app/command_sender.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QObject>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <stop_token>
#include <thread>

#include "app/command_dispatch.h"
#include "app/commands.h"
#include "app/session.h"
#include "audio/metronome.h"
#include "audio/mixer.h"
#include "editors/editors.h"
#include "modal_watcher.h"
#include "synth/messages.h"

namespace thumpa {
namespace {

struct Recorder {
  std::vector<int> commands;
  std::vector<std::int64_t> dues, dispatched_at;
  bool all_on_main_thread = true;
  void operator()(int id, std::int64_t due_ns) {
    commands.push_back(id);
    dues.push_back(due_ns);
    dispatched_at.push_back(steady_now_ns());
    if (QThread::currentThread() != QApplication::instance()->thread()) all_on_main_thread = false;
  }
};

class CommandSenderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_command_target(&target_, [this](int id, std::int64_t due_ns) { recorder_(id, due_ns); });
  }
  void TearDown() override { set_command_target(nullptr, nullptr); }

  QObject target_;
  Recorder recorder_;
  Session session_;
};

TEST_F(CommandSenderTest, OnTheMainThreadTheCommandRunsAtOnce) {
  send_command(600);
  EXPECT_EQ(recorder_.commands, std::vector<int>{600});
}

TEST_F(CommandSenderTest, AnotherThreadWaitsUntilTheMainThreadHasRunIt) {
  std::atomic<bool> returned = false;
  std::thread sender([&] {
    send_command(602);
    returned = true;
  });
  // The main thread does not run its loop yet: the command waits, and so does its sender.
  QThread::msleep(50);
  EXPECT_TRUE(recorder_.commands.empty());
  EXPECT_FALSE(returned);
  QTRY_VERIFY(returned.load());
  sender.join();
  EXPECT_EQ(recorder_.commands, std::vector<int>{602});
  EXPECT_TRUE(recorder_.all_on_main_thread);
}

TEST_F(CommandSenderTest, CommandsRunWhileAMessageBoxIsOpen) {
  std::atomic<int> sent = 0;
  std::thread sender([&] {
    for (int i = 0; i < 3; ++i) {
      send_command(602);
      ++sent;
    }
  });
  QMessageBox box(QMessageBox::NoIcon, "Thumpa", "waiting");
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (sent == 3) box.done(0);
  });
  closer.start(5);
  box.exec();
  sender.join();
  EXPECT_EQ(recorder_.commands, (std::vector<int>{602, 602, 602}));
}

TEST_F(CommandSenderTest, GivingUpReleasesAWaitingSenderAndDropsItsCommand) {
  std::stop_source stopping;
  std::atomic<bool> returned = false;
  std::thread sender([&] {
    send_timed_command(602, 1234, stopping.get_token());
    returned = true;
  });
  // The main thread does not run its loop, as when it is stopping the metronome.
  QThread::msleep(50);
  EXPECT_FALSE(returned);
  stopping.request_stop();
  sender.join();
  EXPECT_TRUE(returned);
  QApplication::processEvents();
  EXPECT_TRUE(recorder_.commands.empty());
}

TEST_F(CommandSenderTest, NoTargetDropsCommands) {
  set_command_target(nullptr, nullptr);
  send_command(600);
  std::thread([] { send_command(602); }).join();
  EXPECT_TRUE(recorder_.commands.empty());
}

TEST_F(CommandSenderTest, MetronomeTicksSendTheClosedHiHatsPlayCommandUntilStopped) {
  std::vector<UserMessage> shown;
  const MessageSink previous =
      set_message_sink({[&](const UserMessage& m) { shown.push_back(m); }, [] {}});
  run_command(session_, CMD_START_METRONOME);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, "Timer resolution set to 1 ms");
  EXPECT_EQ(shown[0].caption, "Thumpa");
  EXPECT_EQ(shown[0].icon, MessageIcon::warning);
  QTest::qWait(1000);
  const std::size_t ticks = recorder_.commands.size();
  EXPECT_GE(ticks, 2u);
  EXPECT_LE(ticks, 4u);
  for (int id : recorder_.commands) EXPECT_EQ(id, CMD_PLAY_CLOSED_HAT);
  EXPECT_TRUE(recorder_.all_on_main_thread);
  // Each tick's sound is due at its own deadline plus 20 ms: whole periods apart, and no more
  // than 20 ms after the main thread handles it.
  for (std::size_t k = 0; k < ticks; ++k) {
    EXPECT_LE(recorder_.dues[k] - recorder_.dispatched_at[k], 20'000'000) << "tick " << k;
    if (k > 0) {
      EXPECT_EQ(recorder_.dues[k] - recorder_.dues[k - 1], 300'000'000) << "tick " << k;
    }
  }
  run_command(session_, CMD_STOP_METRONOME);
  QTest::qWait(400);
  EXPECT_EQ(recorder_.commands.size(), ticks);
  run_command(session_, CMD_STOP_METRONOME);   // stopping while stopped does nothing
  run_command(session_, CMD_START_METRONOME);  // F5 again shows the box again
  EXPECT_EQ(shown.size(), 2u);
  run_command(session_, CMD_STOP_METRONOME);
  set_message_sink(previous);
}

TEST_F(CommandSenderTest, StoppingWhileATickWaitsForTheMainThreadDoesNotHang) {
  const MessageSink previous = set_message_sink({[](const UserMessage&) {}, [] {}});
  run_command(session_, CMD_START_METRONOME);
  QThread::msleep(450);  // a tick is now waiting for this thread
  QElapsedTimer stopping;
  stopping.start();
  run_command(session_, CMD_STOP_METRONOME);
  EXPECT_LT(stopping.elapsed(), 200);
  QApplication::processEvents();
  EXPECT_TRUE(recorder_.commands.empty());  // the waiting tick was dropped
  set_message_sink(previous);
}

// The metronome keeps ticking while a voice editor is open: its commands run inside the
// editor's own event loop.
TEST_F(CommandSenderTest, MetronomeTicksPlayWhileAnEditorIsOpen) {
  const MessageSink previous = set_message_sink({[](const UserMessage&) {}, [] {}});
  init_voice_bank(session_.bank);  // no sound device here: the voices only need samples
  test::ModalWatcher watcher;
  QElapsedTimer open_for;
  watcher.on_dialog = [&](QDialog* editor) {
    if (!open_for.isValid()) open_for.start();
    if (open_for.elapsed() >= 1000) editor->reject();
  };
  run_command(session_, CMD_START_METRONOME);
  run_voice_editor(nullptr, session_.bank, VOICE_KICK, {});
  run_command(session_, CMD_STOP_METRONOME);
  ASSERT_EQ(watcher.dialog_titles.front(), QStringLiteral("Edit Kick"));
  EXPECT_GE(recorder_.commands.size(), 2u);
  for (int id : recorder_.commands) EXPECT_EQ(id, CMD_PLAY_CLOSED_HAT);
  set_message_sink(previous);
}

}  // namespace
}  // namespace thumpa
