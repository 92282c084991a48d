// The file commands through their dialogs: where Write All writes, settings round trips, and
// the folder that must exist.
#include "app/file_commands.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <QAbstractFileIconProvider>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include "app/command_dispatch.h"
#include "app/commands.h"
#include "app/session.h"
#include "bank/voice_bank.h"
#include "modal_watcher.h"
#include "synth/bank_render.h"
#include "synth/messages.h"

namespace thumpa {
namespace {

const char* const WAV_NAMES[] = {"kick.wav",  "snare1.wav", "ch.wav",      "oh.wav",
                                 "blipp.wav", "clave.wav",  "cowbell.wav", "osc.wav"};

class FileCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_sink_ =
        set_message_sink({[this](const UserMessage& m) { messages_.push_back(m); }, [] {}});
    init_voice_bank(session_.bank);  // no sound device: buffers are not needed
    messages_.clear();
    session_.view.shown_voice = VOICE_BLIPP;
    ASSERT_TRUE(start_dir_.isValid() && chosen_dir_.isValid());
    previous_dir_ = QDir::currentPath();
    QDir::setCurrent(start_dir_.path());
    watcher_.on_dialog = [this](QDialog* dialog) {
      auto* files = qobject_cast<QFileDialog*>(dialog);
      if (files == nullptr || answers_.empty()) {
        dialog->reject();
        return;
      }
      dialog_filters_.push_back(files->nameFilters().join(u';'));
      sidebars_.push_back(files->sidebarUrls());
      EXPECT_TRUE(files->testOption(QFileDialog::DontUseNativeDialog));
      auto* name = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
      ASSERT_NE(name, nullptr);
      proposals_.push_back(files->directory().filePath(name->text()));
      const QString answer = answers_.front();
      answers_.erase(answers_.begin());
      if (answer.isEmpty()) {
        files->reject();
        return;
      }
      // Typed into the name field, as the user would; with the focus there, typing drops the
      // selection of a proposed file that exists.
      files->activateWindow();
      ASSERT_TRUE(QTest::qWaitForWindowActive(files));
      name->setFocus();
      name->setText(answer);
      static_cast<QDialog*>(files)->accept();  // as the Save or Open button does
    };
  }

  void TearDown() override {
    QDir::setCurrent(previous_dir_);
    set_message_sink(previous_sink_);
  }

  Session session_;
  std::vector<UserMessage> messages_;
  MessageSink previous_sink_;
  QTemporaryDir start_dir_;
  QTemporaryDir chosen_dir_;
  QString previous_dir_;
  test::ModalWatcher watcher_;
  std::vector<QString> answers_;  // what the next file dialogs are given; empty: cancel
  std::vector<QString> dialog_filters_;
  std::vector<QString> proposals_;  // the folder and name each file dialog proposed
  std::vector<QList<QUrl>> sidebars_;
};

void write_bytes(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(bytes);
}

bool all_wavs_in(const QString& folder) {
  for (const char* name : WAV_NAMES) {
    if (!QFileInfo::exists(folder + u'/' + QString::fromUtf8(name))) return false;
  }
  return true;
}

TEST_F(FileCommandsTest, WriteAllUsesTheCurrentFolderThenTheLastChosenOne) {
  run_command(session_, CMD_WRITE_ALL);
  EXPECT_TRUE(all_wavs_in(start_dir_.path()));
  ASSERT_FALSE(messages_.empty());
  EXPECT_EQ(messages_.back().text, "All files written OK...");

  answers_ = {chosen_dir_.filePath(QStringLiteral("shown"))};
  run_command(session_, CMD_WRITE_WAV_AS);
  EXPECT_TRUE(QFileInfo::exists(chosen_dir_.filePath(QStringLiteral("shown.wav"))));
  EXPECT_EQ(dialog_filters_, std::vector<QString>{QStringLiteral("Wave file (*.wav)")});
  EXPECT_EQ(QFileInfo(chosen_dir_.filePath(QStringLiteral("shown.wav"))).size(),
            44 + 2 * static_cast<qint64>(session_.bank.voices[VOICE_BLIPP].count));

  run_command(session_, CMD_WRITE_ALL);
  EXPECT_TRUE(all_wavs_in(chosen_dir_.path()));
  EXPECT_EQ(session_.chosen_folder, QDir(chosen_dir_.path()).absolutePath());

  // Write Wav As proposes the shown voice under the name Write All gives it.
  session_.view.shown_voice = VOICE_KICK;
  answers_ = {QString()};
  run_command(session_, CMD_WRITE_WAV_AS);
  EXPECT_EQ(proposals_, (std::vector<QString>{QDir(start_dir_.path()).filePath("blipp.wav"),
                                              QDir(chosen_dir_.path()).filePath("kick.wav")}));
}

TEST_F(FileCommandsTest, SavedSettingsLoadBackAndRenderTheVoicesAgain) {
  answers_ = {chosen_dir_.filePath(QStringLiteral("mine"))};
  run_command(session_, CMD_SAVE_SETTINGS_AS);
  const QString saved = chosen_dir_.filePath(QStringLiteral("mine.zog"));
  ASSERT_TRUE(QFileInfo::exists(saved));
  EXPECT_EQ(dialog_filters_, std::vector<QString>{QStringLiteral("Thumpa file (*.zog)")});

  const BankParams before = session_.bank.params;
  const std::uint32_t kick_count = session_.bank.voices[VOICE_KICK].count;
  session_.bank.params.kick.decay = session_.bank.params.kick.decay * 4;
  session_.bank.params.blipp.stop_freq = 77;
  render_voice(session_.bank.params, VOICE_KICK, session_.bank.voices[VOICE_KICK]);
  ASSERT_NE(session_.bank.voices[VOICE_KICK].count, kick_count);

  session_.settings_file.clear();
  answers_ = {saved};
  run_command(session_, CMD_OPEN_SETTINGS);
  EXPECT_EQ(session_.settings_file, saved);
  EXPECT_TRUE(session_.bank.params == before);
  EXPECT_EQ(session_.bank.voices[VOICE_KICK].count, kick_count);  // rendered again
}

// Open Settings offers the designed kits in its sidebar (from the build tree: the source tree's
// folder); a kit picked there is loaded. Saving offers no read-only kits folder.
TEST_F(FileCommandsTest, OpenSettingsOffersTheKits) {
  const QString kits = kits_folder();
  ASSERT_EQ(QDir(kits).entryList({QStringLiteral("*.zog")}).size(), 6) << kits.toStdString();
  const QString metal = QDir(kits).filePath(QStringLiteral("metal.zog"));
  answers_ = {metal, chosen_dir_.filePath(QStringLiteral("mine"))};
  run_command(session_, CMD_OPEN_SETTINGS);
  EXPECT_EQ(session_.settings_file, metal);
  EXPECT_FALSE(session_.bank.params == BankParams{});
  run_command(session_, CMD_SAVE_SETTINGS_AS);
  ASSERT_EQ(sidebars_.size(), 2u);
  EXPECT_TRUE(sidebars_[0].contains(QUrl::fromLocalFile(kits)));
  EXPECT_FALSE(sidebars_[1].contains(QUrl::fromLocalFile(kits)));
}

TEST_F(FileCommandsTest, AFileThatCannotBeReadChangesNothing) {
  const BankParams before = session_.bank.params;
  answers_ = {chosen_dir_.filePath(QStringLiteral("absent.zog"))};
  run_command(session_, CMD_OPEN_SETTINGS);
  ASSERT_FALSE(messages_.empty());
  EXPECT_EQ(messages_.back().text, "Cant open file for reading");
  EXPECT_TRUE(session_.bank.params == before);
}

TEST_F(FileCommandsTest, CancelledDialogsDoNothing) {
  answers_ = {QString(), QString(), QString()};
  run_command(session_, CMD_SAVE_SETTINGS_AS);
  run_command(session_, CMD_WRITE_WAV_AS);
  run_command(session_, CMD_OPEN_SETTINGS);
  EXPECT_TRUE(messages_.empty());
  EXPECT_TRUE(QDir(chosen_dir_.path()).isEmpty());
  EXPECT_EQ(dialog_filters_.size(), 3u);
}

TEST_F(FileCommandsTest, TheFolderMustExist) {
  answers_ = {chosen_dir_.filePath(QStringLiteral("missing/mine.zog")), QString()};
  run_command(session_, CMD_SAVE_SETTINGS_AS);
  EXPECT_EQ(dialog_filters_.size(), 2u);  // asked again after the warning
  ASSERT_EQ(watcher_.boxes.size(), 1u);
  EXPECT_TRUE(watcher_.boxes[0].text.contains(QStringLiteral("missing")));
  EXPECT_FALSE(QFileInfo::exists(chosen_dir_.filePath(QStringLiteral("missing"))));
}

// The dialog's icons and types come from names: a file that keeps a reader waiting (such as
// /proc/kmsg) would otherwise freeze the program as soon as its folder is shown.
TEST_F(FileCommandsTest, TheDialogNeverOpensAFileForItsIcon) {
  const QDir folder(start_dir_.path());  // where the dialog opens
  const char* const names[] = {"notes", "picture", "take.wav"};
  write_bytes(folder.filePath(QStringLiteral("notes")), "#!/bin/sh\necho\n");
  write_bytes(folder.filePath(QStringLiteral("picture")), "\x89PNG\r\n\x1a\n");
  write_bytes(folder.filePath(QStringLiteral("take.wav")), "RIFF");
  const int opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(opens, 0);
  ASSERT_GE(inotify_add_watch(opens, QFile::encodeName(folder.path()).constData(), IN_OPEN), 0);
  bool asked = false;
  watcher_.on_dialog = [&](QDialog* dialog) {
    if (auto* files = qobject_cast<QFileDialog*>(dialog); files && files->iconProvider()) {
      for (const char* name : names) {
        const QFileInfo info(folder.filePath(QString::fromUtf8(name)));
        files->iconProvider()->icon(info);
        EXPECT_FALSE(files->iconProvider()->type(info).isEmpty()) << name;
      }
      asked = true;
    }
    dialog->reject();
  };
  run_command(session_, CMD_OPEN_SETTINGS);
  EXPECT_TRUE(asked);
  // Every event that names a file of the folder is an open of that file.
  alignas(inotify_event) char events[4096];
  const ssize_t size = read(opens, events, sizeof events);
  for (ssize_t at = 0; at < size;) {
    const auto* event = reinterpret_cast<const inotify_event*>(events + at);
    EXPECT_EQ(event->len, 0u) << "opened " << event->name;
    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
  }
  close(opens);
}

// "Write All" goes where the user last read or wrote a file, not where a command failed.
TEST_F(FileCommandsTest, AFolderIsRememberedOnlyWhenItsCommandSucceeded) {
  const struct {
    int command;
    const char* name;
  } cases[] = {{CMD_WRITE_WAV_AS, "gone.wav"},  // links to nothing: refused
               {CMD_SAVE_SETTINGS_AS, "gone.zog"},
               {CMD_OPEN_SETTINGS, "absent.zog"}};
  for (const char* link : {"gone.wav", "gone.zog"}) {
    ASSERT_EQ(symlink("missing",
                      QFile::encodeName(chosen_dir_.filePath(QString::fromUtf8(link))).constData()),
              0);
  }
  const QString before = QDir(start_dir_.path()).absolutePath();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    session_.chosen_folder = before;
    messages_.clear();
    answers_ = {chosen_dir_.filePath(QString::fromUtf8(c.name))};
    run_command(session_, c.command);
    EXPECT_EQ(messages_.size(), 1u);
    EXPECT_EQ(session_.chosen_folder, before);
    EXPECT_TRUE(session_.settings_file.isEmpty());
  }
}

}  // namespace
}  // namespace thumpa
