#include "app/quit_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>

#include "app/main_window.h"

namespace thumpa {

namespace {

int wake_pipe[2] = {-1, -1};

void on_quit_signal(int) {
  const int saved = errno;
  const char byte = 1;
  if (::write(wake_pipe[1], &byte, 1) < 0) {
    // A full pipe already holds a wake-up.
  }
  errno = saved;
}

// A signal that was ignored when the program started stays ignored: a script's background
// command is meant not to end on the terminal's Ctrl+C.
void set_quit_handler(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGTERM, SIGINT}) {
    struct sigaction old {};
    if (::sigaction(signal, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
      ::sigaction(signal, &action, nullptr);
  }
}

}  // namespace

void close_main_window_on_quit_signals() {
  if (wake_pipe[0] >= 0) return;
  if (::pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;  // the signals keep their default
  auto* notifier =
      new QSocketNotifier(wake_pipe[0], QSocketNotifier::Read, QCoreApplication::instance());
  QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
    char bytes[16];
    while (::read(wake_pipe[0], bytes, sizeof bytes) > 0) {
    }
    set_quit_handler(SIG_DFL);  // a second signal does not wait for the close
    if (main_window != nullptr) main_window->close();
  });
  set_quit_handler(on_quit_signal);
}

}  // namespace thumpa
