#include "app/quit_signals.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>

#include "app/main_window.h"

namespace thumpa {

namespace {

bool blocked = false;
sigset_t quit_set;  // the quit signals that were not ignored at start
int quit_fd = -1;

// A child made by fork() starts with the forking thread's mask, and a program it went on to run
// would never get the signals. (The program starts no children of its own; posix_spawn and
// vfork would not call this.)
void unblock_in_child() {
  pthread_sigmask(SIG_UNBLOCK, &quit_set, nullptr);
}

}  // namespace

void block_quit_signals() {
  if (blocked) return;
  blocked = true;
  sigemptyset(&quit_set);
  // A signal that was ignored at start stays ignored, and so unblocked: blocked, it would be
  // kept pending and read from the signalfd.
  for (const int signal : {SIGTERM, SIGINT}) {
    struct sigaction old {};
    if (::sigaction(signal, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
      sigaddset(&quit_set, signal);
  }
  pthread_sigmask(SIG_BLOCK, &quit_set, nullptr);
  pthread_atfork(nullptr, nullptr, unblock_in_child);
}

void close_main_window_on_quit_signals() {
  block_quit_signals();
  if (quit_fd >= 0) return;
  quit_fd = ::signalfd(-1, &quit_set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (quit_fd < 0) {  // the signals keep their default action
    pthread_sigmask(SIG_UNBLOCK, &quit_set, nullptr);
    return;
  }
  auto* notifier =
      new QSocketNotifier(quit_fd, QSocketNotifier::Read, QCoreApplication::instance());
  QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
    signalfd_siginfo info;
    bool taken = false;
    while (::read(quit_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) taken = true;
    if (!taken) return;
    // A second signal does not wait for the close: it comes to this thread, the only one
    // without the block, with its default action.
    pthread_sigmask(SIG_UNBLOCK, &quit_set, nullptr);
    if (main_window != nullptr) main_window->close();
  });
}

}  // namespace thumpa
