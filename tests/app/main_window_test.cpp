// The main window as the user meets it: menu, popup, commands, keys, message boxes.
#include "app/main_window.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QTest>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/command_dispatch.h"
#include "app/command_sender.h"
#include "app/key_filter.h"
#include "app/message_box.h"
#include "app/session.h"
#include "audio/metronome.h"
#include "audio/sound_device.h"
#include "bank/voice_bank.h"
#include "modal_watcher.h"
#include "synth/messages.h"

namespace thumpa {
namespace {

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const MessageSink quiet = set_message_sink({[](const UserMessage&) {}, [] {}});
    open_sound_device();  // the dummy driver in the tests' environment
    init_voice_bank(session_.bank);
    set_message_sink(quiet);
    previous_sink_ = set_message_sink({[this](const UserMessage& m) { messages_.push_back(m); },
                                       [this] { ++destroy_requests_; }});
    window_ = std::make_unique<MainWindow>(session_);
    window_->resize(640, 480);
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    session_.view.shown_voice = VOICE_BLIPP;
    install_key_filter();
  }

  void TearDown() override {
    window_.reset();
    set_message_sink(previous_sink_);
  }

  // A key press as X11 reports it, sent to the client area.
  bool press(int key, Qt::KeyboardModifiers modifiers, quint32 scan_code, const QString& text) {
    QKeyEvent event(QEvent::KeyPress, key, modifiers, scan_code, 0, 0, text);
    QApplication::sendEvent(window_->view(), &event);
    return event.isAccepted();
  }

  // A voice of many samples, shown in place of the Kick.
  void show_long_kick(VoiceBuffer samples) {
    session_.bank.voices[VOICE_KICK] = std::move(samples);
    session_.view.shown_voice = VOICE_KICK;
  }

  Session session_;
  std::unique_ptr<MainWindow> window_;
  std::vector<UserMessage> messages_;
  int destroy_requests_ = 0;
  MessageSink previous_sink_;
};

struct ExpectedItem {
  QString text;  // null: separator
  int command;
};

// The eight voice items with their digit keys (8 is skipped) after `modifier`.
std::vector<ExpectedItem> voice_items(const QString& modifier, int first, int second, int third,
                                      int fourth, int fifth, int sixth, int seventh, int eighth) {
  const char* texts[] = {"&Blipp", "&Clave", "C&losed",  "&Open",
                         "&Kick",  "&Snare", "Co&wbell", "Osc&illator"};
  const char* digits[] = {"1", "2", "3", "4", "5", "6", "7", "9"};
  const int ids[] = {first, second, third, fourth, fifth, sixth, seventh, eighth};
  std::vector<ExpectedItem> items;
  for (int i = 0; i < 8; ++i) {
    items.push_back(
        {QString::fromUtf8(texts[i]) + u'\t' + modifier + QString::fromUtf8(digits[i]), ids[i]});
  }
  return items;
}

TEST_F(MainWindowTest, MenuBarFollowsTheTable) {
  const std::vector<std::pair<const char*, std::vector<ExpectedItem>>> expected = {
      {"&File",
       {{"&Reset", 40052},
        {"&Open Settings...", 101},
        {"&Save Settings", 102},
        {"&Save Settings As...", 103},
        {"&Write Wav As...", 104},
        {"Write &All", 105},
        {QString(), 0},
        {"E&xit", 106}}},
      {"&Edit", voice_items("Ctrl+", 40010, 40011, 40013, 40012, 40017, 40051, 40050, 40019)},
      {"&Play", voice_items("", 600, 601, 602, 604, 603, 40048, 40049, 608)},
      {"&Show", voice_items("Shift+", 40037, 40038, 40039, 40040, 40041, 40042, 40047, 40045)},
      {"&Display",
       {{"Zoom &In\t*", 40033},
        {"Zoom &Out\t/", 40034},
        {"Pan &Left\t-", 40035},
        {"Pan &Right\t+", 40036}}},
      {"&Help", {{"&About Thumpa...", 303}}},
  };
  const QList<QAction*> popups = window_->menuBar()->actions();
  ASSERT_EQ(popups.size(), static_cast<qsizetype>(expected.size()));
  for (std::size_t p = 0; p < expected.size(); ++p) {
    EXPECT_EQ(popups[p]->text(), QString::fromUtf8(expected[p].first));
    const QList<QAction*> items = popups[p]->menu()->actions();
    ASSERT_EQ(items.size(), static_cast<qsizetype>(expected[p].second.size())) << p;
    for (qsizetype i = 0; i < items.size(); ++i) {
      const ExpectedItem& want = expected[p].second[static_cast<std::size_t>(i)];
      if (want.text.isNull()) {
        EXPECT_TRUE(items[i]->isSeparator());
        continue;
      }
      EXPECT_EQ(items[i]->text(), want.text);
      EXPECT_EQ(items[i]->data().toInt(), want.command);
      // Keys show as text only: the application's key filter alone handles them.
      EXPECT_TRUE(items[i]->shortcut().isEmpty()) << want.text.toStdString();
      EXPECT_EQ(items[i]->isEnabled(), want.command != 102) << want.text.toStdString();
      EXPECT_EQ(items[i]->isCheckable(), p == 3) << want.text.toStdString();
    }
  }
  EXPECT_EQ(window_->show_menu(), popups[3]->menu());
  EXPECT_EQ(window_->windowTitle(), QStringLiteral("Thumpa"));
  EXPECT_FALSE(window_->windowIcon().isNull());
  for (int size : {16, 32, 48, 64, 256}) {
    EXPECT_EQ(QImage(QStringLiteral(":/thumpa/thumpa-%1.png").arg(size)).size(), QSize(size, size));
  }
}

TEST_F(MainWindowTest, MenuItemsRunTheirCommands) {
  window_->show_menu()->actions()[4]->trigger();  // "&Kick"
  EXPECT_EQ(session_.view.shown_voice, VOICE_KICK);
  window_->menuBar()->actions()[4]->menu()->actions()[1]->trigger();  // "Zoom &Out"
  EXPECT_EQ(session_.view.zoom, 8192);
}

TEST_F(MainWindowTest, RightButtonPopsUpTheShowItemsAtTheCursor) {
  QTest::mouseClick(window_->view(), Qt::RightButton, {}, QPoint(50, 40));
  QMenu* menu = window_->show_menu();
  ASSERT_TRUE(menu->isVisible());
  EXPECT_EQ(menu->pos(), window_->view()->mapToGlobal(QPoint(50, 40)));
  EXPECT_EQ(menu->actions().size(), 8);
  menu->close();
}

TEST_F(MainWindowTest, ShowingAnotherVoiceStartsAtSampleZeroTheSameVoiceKeepsItsPlace) {
  run_command(session_, 40041);  // Kick
  EXPECT_EQ(session_.view.shown_voice, VOICE_KICK);
  session_.view.view_start = 500;
  run_command(session_, 40041);
  EXPECT_EQ(session_.view.view_start, 500);
  run_command(session_, 40042);  // Snare
  EXPECT_EQ(session_.view.shown_voice, VOICE_SNARE);
  EXPECT_EQ(session_.view.view_start, 0);
  const int show_ids[] = {40037, 40038, 40039, 40040, 40041, 40042, 40047, 40045};
  const VoiceId ids[] = {VOICE_BLIPP, VOICE_CLAVE, VOICE_CLOSED_HAT, VOICE_OPEN_HAT,
                         VOICE_KICK,  VOICE_SNARE, VOICE_COWBELL,    VOICE_OSCILLATOR};
  for (int i = 0; i < 8; ++i) {
    run_command(session_, show_ids[i]);
    EXPECT_EQ(session_.view.shown_voice, ids[i]);
  }
}

// Whatever shows a voice (start-up, a key, a menu item), the status line names it and the Show
// menu checks it; the sound output's part follows the device, also when it goes.
TEST_F(MainWindowTest, TheStatusLineAndTheShowMenuFollowTheShownVoice) {
  auto status = [this](int command) {
    int checked = 0;
    for (QAction* action : window_->show_menu()->actions()) {
      if (action->isChecked()) checked = action->data().toInt();
    }
    QStringList seen;  // what the labels say to accessibility tools
    for (QLabel* label : window_->statusBar()->findChildren<QLabel*>()) {
      seen << label->accessibleName();
    }
    return checked == command ? seen : QStringList{QString::number(checked)};
  };
  repaint_main_window();  // as start-up does once it has shown the Blipp
  EXPECT_EQ(status(40037), (QStringList{"Shown: Blipp", "SDL, 256 frames, 5.8 ms",
                                        sound_output_status().midi_input, "no settings file"}));
  press(Qt::Key_Percent, Qt::ShiftModifier, 14, QStringLiteral("%"));  // Shift+5
  EXPECT_EQ(status(40041).value(0), "Shown: Kick");
  window_->show_menu()->actions()[2]->trigger();
  EXPECT_EQ(status(40039).value(0), "Shown: Closed Hi-hat");
  close_sound_device();
  EXPECT_TRUE(QTest::qWaitFor([&] { return status(40039).value(1) == "no sound output"; }));
}

TEST_F(MainWindowTest, ZoomAndPanFollowTheLastPaintedWidth) {
  VoiceBuffer long_voice;
  long_voice.samples.reset(static_cast<Q31*>(std::calloc(10000, sizeof(Q31))));
  long_voice.count = 10000;
  show_long_kick(std::move(long_voice));
  window_->view()->setFixedWidth(400);
  QApplication::processEvents();
  window_->view()->repaint();
  EXPECT_EQ(session_.view.client_width, 400u);

  std::vector<std::int32_t> starts;
  for (int i = 0; i < 4; ++i) {
    run_command(session_, 40036);
    starts.push_back(session_.view.view_start);
  }
  EXPECT_EQ(starts, (std::vector<std::int32_t>{3200, 6400, 9600, 9600}));
  session_.view.view_start = 1000;
  run_command(session_, 40035);
  EXPECT_EQ(session_.view.view_start, 0);
  run_command(session_, 40033);
  EXPECT_EQ(session_.view.zoom, 2048);
  run_command(session_, 40034);
  run_command(session_, 40034);
  EXPECT_EQ(session_.view.zoom, 8192);
}

TEST_F(MainWindowTest, IdsOutsideTheTableDoNothing) {
  const ViewState before = session_.view;
  for (int id : {0, 100, 107, 302, 599, 605, 607, 609, 40014, 40032, 40043, 40057, 65535}) {
    run_command(session_, id);
  }
  run_command(session_, 102);  // "&Save Settings" is in the table and does nothing
  EXPECT_EQ(session_.view.shown_voice, before.shown_voice);
  EXPECT_EQ(session_.view.zoom, before.zoom);
  EXPECT_EQ(session_.view.view_start, before.view_start);
  EXPECT_TRUE(messages_.empty());
  EXPECT_FALSE(window_->destroyed_for_good());
}

TEST_F(MainWindowTest, KeysRunCommandsByPhysicalKeyThenCharacter) {
  press(Qt::Key_Percent, Qt::ShiftModifier, 14, QStringLiteral("%"));  // Shift+5
  EXPECT_EQ(session_.view.shown_voice, VOICE_KICK);
  press(Qt::Key_Asterisk, Qt::ShiftModifier, 17, QStringLiteral("*"));  // Shift+8 types "*"
  EXPECT_EQ(session_.view.zoom, 2048);
  press(Qt::Key_Slash, Qt::KeypadModifier, 106, QStringLiteral("/"));
  EXPECT_EQ(session_.view.zoom, 4096);
  press(Qt::Key_Exclam, Qt::KeypadModifier, 87, QStringLiteral("1"));  // keypad 1
  press(Qt::Key_8, Qt::NoModifier, 17, QStringLiteral("8"));
  EXPECT_EQ(session_.view.shown_voice, VOICE_KICK);
  EXPECT_EQ(session_.view.zoom, 4096);
  // Offscreen-style events without scan codes.
  QTest::keyClick(window_->view(), Qt::Key_2, Qt::ShiftModifier);
  EXPECT_EQ(session_.view.shown_voice, VOICE_CLAVE);
}

TEST_F(MainWindowTest, ShortcutOverrideIsAcceptedOnlyForKeysOfTheTable) {
  QKeyEvent owned(QEvent::ShortcutOverride, Qt::Key_1, Qt::ControlModifier, 10, 0, 0,
                  QStringLiteral("1"));
  owned.ignore();
  QApplication::sendEvent(window_->view(), &owned);
  EXPECT_TRUE(owned.isAccepted());
  QKeyEvent other(QEvent::ShortcutOverride, Qt::Key_F, Qt::AltModifier, 41, 0, 0,
                  QStringLiteral("f"));
  other.ignore();
  QApplication::sendEvent(window_->view(), &other);
  EXPECT_FALSE(other.isAccepted());
}

TEST_F(MainWindowTest, KeysDoNothingWhileAModalDialogIsOpen) {
  QDialog dialog(window_.get());
  dialog.setModal(true);
  dialog.show();
  ASSERT_NE(QApplication::activeModalWidget(), nullptr);
  press(Qt::Key_At, Qt::ShiftModifier, 11, QStringLiteral("@"));  // Shift+2
  EXPECT_EQ(session_.view.shown_voice, VOICE_BLIPP);
  dialog.close();
  press(Qt::Key_At, Qt::ShiftModifier, 11, QStringLiteral("@"));
  EXPECT_EQ(session_.view.shown_voice, VOICE_CLAVE);
}

TEST_F(MainWindowTest, EditingTheShownVoiceEditsThatVoice) {
  test::ModalWatcher watcher;  // closes whatever editor opens
  press(Qt::Key_ParenLeft, Qt::ShiftModifier, 18, QStringLiteral("("));  // Shift+9
  press(Qt::Key_Space, Qt::ControlModifier, 65, QString(QChar(u'\0')));  // Ctrl+Space
  run_command(session_, 40017);  // Ctrl+5's command: edit the Kick
  // Before start-up has shown a voice, Space and Ctrl+Space do nothing.
  session_.view.shown_voice.reset();
  run_command(session_, 40054);
  EXPECT_EQ(watcher.dialog_titles,
            (std::vector<QString>{QStringLiteral("Edit Oscillator"), QStringLiteral("Edit Kick")}));
}

TEST_F(MainWindowTest, MessagesBecomeBoxesOwnedByTheMainWindow) {
  install_message_boxes();
  test::ModalWatcher watcher;
  show_message("Cannot set format", APP_CAPTION, MessageIcon::error, "16-bit, 1 channels");
  show_message("DirectSound error!", "", MessageIcon::error);
  show_message("Timer resolution set to 1 ms", APP_CAPTION, MessageIcon::warning);
  show_message("All files written OK...", "Files written", MessageIcon::information);
  show_message("Display Changed", APP_CAPTION, MessageIcon::none);
  ASSERT_EQ(watcher.boxes.size(), 5u);
  EXPECT_EQ(watcher.boxes[0].title, QStringLiteral("Thumpa"));
  EXPECT_EQ(watcher.boxes[0].icon, QMessageBox::Critical);
  EXPECT_EQ(watcher.boxes[0].detail, QStringLiteral("16-bit, 1 channels"));
  EXPECT_EQ(watcher.boxes[0].owner, window_.get());
  EXPECT_EQ(watcher.boxes[1].text, QStringLiteral("DirectSound error!"));
  EXPECT_TRUE(watcher.boxes[1].title.isEmpty());  // the application's name shows
  EXPECT_EQ(watcher.boxes[2].icon, QMessageBox::Warning);
  EXPECT_EQ(watcher.boxes[3].title, QStringLiteral("Files written"));
  EXPECT_EQ(watcher.boxes[3].icon, QMessageBox::Information);
  EXPECT_EQ(watcher.boxes[4].icon, QMessageBox::NoIcon);
}

TEST_F(MainWindowTest, ADestroyRequestClosesTheWindowOnceTheLoopRuns) {
  install_message_boxes();
  request_destroy_main_window();
  EXPECT_FALSE(window_->destroyed_for_good());  // not inside the caller's work
  QApplication::processEvents();
  EXPECT_TRUE(window_->destroyed_for_good());
  EXPECT_FALSE(window_->isVisible());
  EXPECT_FALSE(sound_device_open());
}

TEST_F(MainWindowTest, ADisplayModeChangeIsAnnounced) {
  test::ModalWatcher watcher;
  QScreen* screen = window_->screen();
  emit screen->geometryChanged(screen->geometry().translated(10, 0));  // moved, same mode
  EXPECT_TRUE(watcher.boxes.empty());
  emit screen->geometryChanged(QRect(0, 0, 1024, 768));
  ASSERT_EQ(watcher.boxes.size(), 1u);
  EXPECT_EQ(watcher.boxes[0].text, QStringLiteral("Display Changed"));
  EXPECT_EQ(watcher.boxes[0].title, QStringLiteral("Thumpa"));
  EXPECT_EQ(watcher.boxes[0].icon, QMessageBox::NoIcon);
}

TEST_F(MainWindowTest, F5StartsTheMetronomeAndF6StopsIt) {
  install_message_boxes();
  test::ModalWatcher watcher;
  press(Qt::Key_F5, Qt::NoModifier, 71, QString());
  ASSERT_EQ(watcher.boxes.size(), 1u);
  EXPECT_EQ(watcher.boxes[0].text, QStringLiteral("Timer resolution set to 1 ms"));
  EXPECT_TRUE(metronome_running());
  press(Qt::Key_F6, Qt::NoModifier, 72, QString());
  EXPECT_FALSE(metronome_running());
}

// The cost of a paint grows with the window's width, not the voice's length: a full-height
// line in each of 1920 columns of the longest voice. Prints the figure; the bound is loose.
TEST_F(MainWindowTest, PaintOfA1920ColumnViewIsQuick) {
  VoiceBuffer worst;
  worst.samples.reset(static_cast<Q31*>(std::malloc(MAX_VOICE_SAMPLES * sizeof(Q31))));
  worst.count = MAX_VOICE_SAMPLES;
  for (std::uint32_t i = 0; i < worst.count; ++i) worst.samples[i] = (i / 16) % 2 ? ONE : -ONE;
  show_long_kick(std::move(worst));
  window_->view()->setFixedSize(1920, 1080);
  QApplication::processEvents();
  window_->view()->repaint();
  ASSERT_EQ(session_.view.client_width, 1920u);
  constexpr int PAINTS = 100;
  QElapsedTimer timer;
  timer.start();
  for (int i = 0; i < PAINTS; ++i) window_->view()->repaint();
  const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6 / PAINTS;
  std::printf("paint of a 1920 x 1080 view: %.3f ms\n", ms);
  EXPECT_LT(ms, 50.0);
}

// A window that goes clears only its own claim on sent commands, never a newer window's.
TEST_F(MainWindowTest, AWindowThatGoesLeavesANewerWindowTheCommands) {
  Session other;
  MainWindow newer(other);
  window_.reset();
  send_command(40041);  // show the Kick
  EXPECT_EQ(other.view.shown_voice, VOICE_KICK);
}

TEST_F(MainWindowTest, ExitEndsTheProgram) {
  run_command(session_, 106);
  EXPECT_TRUE(window_->destroyed_for_good());
  EXPECT_FALSE(sound_device_open());
}

}  // namespace
}  // namespace thumpa
