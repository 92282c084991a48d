// The whole program in this process: start-up order, its failure paths and the hand-over to
// a running copy. Each test runs in a process of its own, with the sound driver its name asks
// for (see CMakeLists.txt).
#include "app/startup.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "app/main_window.h"
#include "app/session.h"
#include "app/single_instance.h"
#include "audio/sound_device.h"
#include "bank/voice_bank.h"
#include "modal_watcher.h"
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

// The instance socket's file, where QLocalServer keeps it.
QString socket_path(const QString& name) {
  return QDir::tempPath() + u'/' + name;
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
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  // Were it to open a sound device, it would stop on "DirectSound error!" and never end.
  env.insert(QStringLiteral("SDL_AUDIODRIVER"), QStringLiteral("nonexistent"));
  second.setProcessEnvironment(env);
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
  const QByteArray path = QFile::encodeName(socket_path(name));
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(static_cast<std::size_t>(path.size()), sizeof address.sun_path);
  std::memcpy(address.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
  unlink(path.constData());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(fd);
  ASSERT_TRUE(QFile::exists(socket_path(name)));

  EXPECT_FALSE(hand_over_to_running_instance(name));
  ASSERT_EQ(claim_single_instance(name), InstanceClaim::first);
  EXPECT_TRUE(hand_over_to_running_instance(name));  // now someone answers
}

}  // namespace
}  // namespace thumpa
