// The whole program in this process: start-up order, its failure paths and the hand-over to
// a running copy. Each test runs in a process of its own, with the sound driver its name asks
// for (see CMakeLists.txt).
#include "app/startup.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QPointer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "app/file_commands.h"
#include "app/main_window.h"
#include "app/session.h"
#include "app/single_instance.h"
#include "audio/sound_device.h"
#include "bank/voice_bank.h"
#include "files/settings_file.h"
#include "modal_watcher.h"
#include "synth/record_fields.h"
#include "synth/render.h"

namespace thumpa {
namespace {

// A display name no other test process uses, so each test has its own instance socket.
void use_own_display(const char* test) {
  qputenv("DISPLAY", QStringLiteral(":thumpa-%1-%2").arg(test).arg(getpid()).toUtf8());
}

// The session of the running program, through its main window; null when there is none.
Session* running_session() {
  return main_window != nullptr ? &main_window->session() : nullptr;
}

bool bank_rendered() {
  const Session* session = running_session();
  if (session == nullptr) return false;
  for (VoiceId id : MENU_ORDER) {
    if (session->bank.voices[id].empty()) return false;
  }
  return true;
}

// Milliseconds since this process started, from the kernel's record of its start.
double ms_since_process_start() {
  QFile stat(QStringLiteral("/proc/self/stat"));
  if (!stat.open(QIODevice::ReadOnly)) return -1;
  const QByteArray line = stat.readAll();
  // Field 22 (start time in clock ticks since boot) comes after the command's closing ")".
  const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
  const double start_ticks = fields.value(19).toDouble();
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  const double now_ms = now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
  return now_ms - start_ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

TEST(Startup, ShowsTheBlippAndEndsWithCodeZeroWhenClosed) {
  use_own_display("blipp");
  test::ModalWatcher watcher;
  double first_voice_ms = -1;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    const Session* session = running_session();
    if (session == nullptr || !session->view.shown_voice) return;
    if (session->view.client_width == 0) return;  // not yet painted with a voice
    if (first_voice_ms < 0) first_voice_ms = ms_since_process_start();
    EXPECT_TRUE(sound_device_open());
    EXPECT_TRUE(bank_rendered());
    EXPECT_EQ(session->view.shown_voice, VOICE_BLIPP);
    main_window->close();
  });
  closer.start(1);
  EXPECT_EQ(run_thumpa(), 0);
  EXPECT_GE(first_voice_ms, 0);
  std::printf("process start to first painted voice: %.0f ms (clock tick %ld/s)\n", first_voice_ms,
              sysconf(_SC_CLK_TCK));
  EXPECT_TRUE(watcher.boxes.empty());
  EXPECT_FALSE(sound_device_open());
  EXPECT_EQ(main_window, nullptr);
}

TEST(Startup, ASoundDeviceThatFailsEndsAfterItsMessages) {
  use_own_display("nosound");
  test::ModalWatcher watcher;
  bool window_blank_at_first_box = false;
  watcher.on_box = [&](QMessageBox*) {
    if (watcher.boxes.size() == 1) {
      window_blank_at_first_box = main_window != nullptr && main_window->isVisible() &&
                                  !running_session()->view.shown_voice && !bank_rendered();
    }
    return false;
  };
  EXPECT_EQ(run_thumpa(), 0);
  ASSERT_GE(watcher.boxes.size(), 2u);  // the device's own message, then ours
  EXPECT_TRUE(window_blank_at_first_box);
  EXPECT_EQ(watcher.boxes.front().title, QStringLiteral("Thumpa"));
  const test::SeenBox& last = watcher.boxes.back();
  EXPECT_EQ(last.text, QStringLiteral("DirectSound error!"));
  EXPECT_TRUE(last.title.isEmpty());
  EXPECT_EQ(last.icon, QMessageBox::Critical);
  EXPECT_EQ(main_window, nullptr);
}

// A settings file whose Kick decays as given, and the parameters it stands for.
BankParams settings_with_kick_decay(const QString& path, std::int32_t decay) {
  BankParams params;
  find_field(VOICE_KICK, "decay")->in(params, VOICE_KICK) = decay;
  EXPECT_TRUE(save_settings_file(QFile::encodeName(path).toStdString(), params));
  return params;
}

// A second start that shows nothing and opens no sound device (whose message would stop it).
void without_sound(QProcess& process) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  env.insert(QStringLiteral("SDL_AUDIODRIVER"), QStringLiteral("nonexistent"));
  process.setProcessEnvironment(env);
}

QByteArray read_all(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// `thumpa FILE` opens the file once the voices are shown, and a second start's file is handed
// to the running program, which opens it: Write All then writes what thumpa-render makes of it.
// A third start hands over a file that cannot be read: the running program answers before its
// message box, so that start ends at once instead of waiting out its answer time and asking
// again, and the box comes once, not once for each time the start asked.
TEST(Startup, OpensTheFileGivenAtStartAndTheFileOfASecondStart) {
  use_own_display("files");
  test::ModalWatcher watcher;  // answers Write All's closing box
  QPointer<QMessageBox> unreadable_box;
  int unreadable_boxes = 0;
  watcher.on_box = [&](QMessageBox* box) {
    if (box->text() != QStringLiteral("Cant open file for reading")) return false;
    if (box == unreadable_box) return true;  // seen again on the watcher's next look
    if (++unreadable_boxes > 1) return false;
    unreadable_box = box;  // stays open until the third start has ended
    return true;
  };
  QTemporaryDir scratch;
  ASSERT_TRUE(scratch.isValid());
  const QString first_file = scratch.filePath(QStringLiteral("first.zog"));
  const QString second_file = scratch.filePath(QStringLiteral("second.zog"));
  const BankParams first = settings_with_kick_decay(first_file, 2000000000);
  const BankParams second = settings_with_kick_decay(second_file, 1500000000);
  ASSERT_NE(first, second);

  QProcess second_start;
  QProcess third_start;
  for (QProcess* start : {&second_start, &third_start}) {
    without_sound(*start);
    start->setWorkingDirectory(scratch.path());  // hands over the file's absolute path
  }
  bool first_opened = false;
  QElapsedTimer third_started;
  qint64 third_start_ms = -1;
  QElapsedTimer since_dismissed;
  QTimer step;
  QObject::connect(&step, &QTimer::timeout, [&] {
    Session* session = running_session();
    if (session == nullptr || !session->view.shown_voice) return;
    if (second_start.state() == QProcess::NotRunning && !first_opened) {
      first_opened = true;
      EXPECT_EQ(session->bank.params, first);
      second_start.start(QStringLiteral(THUMPA_EXECUTABLE), {QStringLiteral("second.zog")});
      return;
    }
    if (!third_started.isValid() && session->bank.params == second &&
        second_start.state() == QProcess::NotRunning) {
      write_all(session->bank, scratch.filePath(QStringLiteral("program")));
      third_started.start();
      third_start.start(QStringLiteral(THUMPA_EXECUTABLE), {QStringLiteral("missing.zog")});
      return;
    }
    if (!third_started.isValid() || third_start.state() != QProcess::NotRunning) return;
    if (third_start_ms < 0) third_start_ms = third_started.elapsed();
    if (since_dismissed.isValid()) {
      if (since_dismissed.elapsed() > 1000) main_window->close();  // time for a second open
    } else if (unreadable_box) {
      unreadable_box->done(QMessageBox::Ok);
      since_dismissed.start();
    }
  });
  ASSERT_TRUE(QDir(scratch.path()).mkdir(QStringLiteral("program")));
  step.start(10);
  QTimer::singleShot(20000, [&] {
    ADD_FAILURE() << "the handed-over files were not opened";
    if (unreadable_box) unreadable_box->done(QMessageBox::Ok);
    if (main_window != nullptr) main_window->close();
  });
  EXPECT_EQ(run_thumpa(first_file), 0);
  EXPECT_TRUE(first_opened);
  EXPECT_EQ(second_start.exitCode(), 0);
  EXPECT_EQ(third_start.exitCode(), 0);
  std::printf("start with an unreadable file ended after %lld ms\n",
              static_cast<long long>(third_start_ms));
  EXPECT_GE(third_start_ms, 0);
  EXPECT_LT(third_start_ms, 1500);  // it waits 3 s for an answer before asking again
  EXPECT_EQ(unreadable_boxes, 1);

  ASSERT_EQ(QProcess::execute(QStringLiteral(THUMPA_RENDER_EXECUTABLE),
                              {QStringLiteral("--settings"), second_file, QStringLiteral("--out"),
                               scratch.filePath(QStringLiteral("render"))}),
            0);
  for (VoiceId id : FILE_ORDER) {
    const QString name = QString::fromLatin1(voice_facts(id).wav_name);
    SCOPED_TRACE(name.toStdString());
    const QByteArray written = read_all(scratch.filePath(QStringLiteral("program/") + name));
    EXPECT_FALSE(written.isEmpty());
    EXPECT_EQ(written, read_all(scratch.filePath(QStringLiteral("render/") + name)));
  }
}

void* no_memory(std::size_t) {
  return nullptr;
}

TEST(Startup, AVoiceThatCannotBeRenderedEndsTheProgram) {
  use_own_display("norender");
  test::ModalWatcher watcher;
  const SampleMemory real = sample_memory;
  sample_memory.allocate = no_memory;
  QTimer guard;  // the loop must end by itself; this only keeps a failure from hanging
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [] {
    ADD_FAILURE() << "the program did not end";
    QCoreApplication::exit(1);
  });
  guard.start(5000);
  EXPECT_EQ(run_thumpa(), 0);
  sample_memory = real;
  ASSERT_EQ(watcher.boxes.size(), 1u);
  EXPECT_EQ(watcher.boxes[0].icon, QMessageBox::Warning);
  EXPECT_TRUE(watcher.boxes[0].title.isEmpty());
  EXPECT_FALSE(sound_device_open());
}

TEST(SingleInstance, ASecondStartRaisesTheFirstAndEndsAtOnce) {
  use_own_display("second");
  const QString name = instance_server_name();
  ASSERT_EQ(claim_single_instance(name), InstanceClaim::first);
  Session session;
  MainWindow window(session);
  window.showMinimized();
  QTRY_VERIFY(window.windowState() & Qt::WindowMinimized);

  QProcess second;
  without_sound(second);
  QElapsedTimer started;
  started.start();
  second.start(QStringLiteral(THUMPA_EXECUTABLE), {});
  ASSERT_TRUE(second.waitForStarted());
  QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 10000);
  std::printf("second start ended after %lld ms\n", static_cast<long long>(started.elapsed()));
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0);
  QTRY_VERIFY(!(window.windowState() & Qt::WindowMinimized));
  EXPECT_TRUE(window.isVisible());
  window.close();
}

TEST(SingleInstance, AStaleSocketFromACrashedRunDoesNotBlock) {
  use_own_display("stale");
  const QString name = instance_server_name();
  // A socket file that nobody listens on any more, as a crashed run leaves it.
  const QByteArray path = QFile::encodeName(name);
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(static_cast<std::size_t>(path.size()), sizeof address.sun_path);
  std::memcpy(address.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
  unlink(path.constData());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(fd);
  ASSERT_TRUE(QFile::exists(name));

  EXPECT_FALSE(hand_over_to_running_instance(name));
  ASSERT_EQ(claim_single_instance(name), InstanceClaim::first);
  QLocalSocket now;  // someone listens (and would answer from the event loop)
  now.connectToServer(name);
  EXPECT_TRUE(now.waitForConnected(1000));
}

// Another user must not be able to listen in the program's place: the socket lives in a folder
// only this user may enter, and one that another user holds is not used at all.
TEST(SingleInstance, TheSocketIsInAFolderOnlyTheUserMayEnter) {
  use_own_display("folder");
  QTemporaryDir scratch;
  ASSERT_TRUE(scratch.isValid());
  const QString runtime = scratch.filePath(QStringLiteral("run"));
  const QString open_runtime = scratch.filePath(QStringLiteral("open"));
  const QString temp = scratch.filePath(QStringLiteral("tmp"));
  for (const QString& folder : {runtime, open_runtime, temp}) ASSERT_TRUE(QDir().mkdir(folder));
  ASSERT_EQ(chmod(QFile::encodeName(runtime).constData(), 0700), 0);
  ASSERT_EQ(chmod(QFile::encodeName(open_runtime).constData(), 0755), 0);
  ASSERT_EQ(chmod(QFile::encodeName(temp).constData(), 01777), 0);
  const QString own = temp + QStringLiteral("/thumpa-%1").arg(getuid());
  qputenv("TMPDIR", QFile::encodeName(temp));

  const struct {
    const char* what;
    QString runtime;  // empty: not set
    QString folder;   // expected
  } cases[] = {
      {"private runtime folder", runtime, runtime},
      {"runtime folder that others may enter", open_runtime, own},
      {"no runtime folder", QString(), own},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.runtime.isEmpty()) {
      qunsetenv("XDG_RUNTIME_DIR");
    } else {
      qputenv("XDG_RUNTIME_DIR", QFile::encodeName(c.runtime));
    }
    EXPECT_EQ(instance_folder(), c.folder);
    EXPECT_TRUE(instance_server_name().startsWith(c.folder + QStringLiteral("/thumpa-")));
  }
  struct stat st {};
  ASSERT_EQ(lstat(QFile::encodeName(own).constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);

  // A folder of that name that another user made first is not ours: no guard, but a start.
  if (getuid() == 0) {
    ASSERT_EQ(chown(QFile::encodeName(own).constData(), 65534, 65534), 0);
    EXPECT_TRUE(instance_folder().isEmpty());
    EXPECT_TRUE(instance_server_name().isEmpty());
    EXPECT_EQ(claim_single_instance(instance_server_name()), InstanceClaim::first);
  }
  qunsetenv("TMPDIR");
}

// A listener that runs as another user is not asked to do anything, and does not stop us.
TEST(SingleInstance, AListenerOfAnotherUserIsNotHandedOver) {
  if (getuid() != 0) GTEST_SKIP() << "only root can listen as another user";
  QTemporaryDir scratch;
  ASSERT_TRUE(scratch.isValid());
  ASSERT_EQ(chmod(QFile::encodeName(scratch.path()).constData(), 0777), 0);
  const QByteArray path = QFile::encodeName(scratch.filePath(QStringLiteral("listener")));
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    // As the user nobody: listen, and report whether anything arrived.
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
        setresuid(65534, 65534, 65534) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 1) != 0)
      _exit(2);
    if (write(ready[1], "x", 1) != 1) _exit(2);
    pollfd waiting{fd, POLLIN, 0};
    if (poll(&waiting, 1, 5000) != 1) _exit(3);
    const int connection = accept(fd, nullptr, nullptr);
    pollfd incoming{connection, POLLIN, 0};
    char byte = 0;
    const bool told = poll(&incoming, 1, 2000) == 1 && read(connection, &byte, 1) == 1;
    _exit(told ? 1 : 0);
  }
  ASSERT_GT(child, 0);
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  EXPECT_FALSE(hand_over_to_running_instance(QFile::decodeName(path)));
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);  // 1: it was told something
}

}  // namespace
}  // namespace thumpa
