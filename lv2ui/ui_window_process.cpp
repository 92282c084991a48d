#include "lv2ui/ui_window_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace thumpa {
namespace {

#ifndef CLOSE_RANGE_CLOEXEC
constexpr unsigned CLOSE_RANGE_CLOEXEC = 1U << 2;
#endif

// The child between fork and exec: only system calls, since another thread of the host may
// have held a lock of the allocator when it forked.
[[noreturn]] void exec_window(int fd, pid_t host, const char* program, char* const* argv) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != host) ::_exit(127);  // the host ended before the line above
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  // None of the host's descriptors go with the window, only the socket's own end.
  if (fd > 3) ::syscall(SYS_close_range, 3U, static_cast<unsigned>(fd - 1), CLOSE_RANGE_CLOEXEC);
  ::syscall(SYS_close_range, static_cast<unsigned>(fd + 1), ~0U, CLOSE_RANGE_CLOEXEC);
  ::fcntl(fd, F_SETFD, 0);
  ::execv(program, argv);
  ::_exit(127);
}

std::int64_t now_ms() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

}  // namespace

bool start_window(WindowProcess& window, const std::string& program, std::uint64_t parent) {
  if (window_running(window)) return true;
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
  const pid_t host = ::getpid();
  // Everything the child needs is made before the fork.
  std::vector<std::string> args = {program, "--socket", std::to_string(ends[1]), "--host-pid",
                                   std::to_string(host)};
  if (parent != 0) {
    args.push_back("--parent");
    args.push_back(std::to_string(parent));
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) exec_window(ends[1], host, program.c_str(), argv.data());
  ::close(ends[1]);
  if (pid < 0) {
    ::close(ends[0]);
    return false;
  }
  ::fcntl(ends[0], F_SETFL, ::fcntl(ends[0], F_GETFL) | O_NONBLOCK);
  window.pid = pid;
  window.fd = ends[0];
  window.reader = {};
  return true;
}

bool window_running(const WindowProcess& window) {
  return window.pid > 0;
}

void send_to_window(WindowProcess& window, const std::string& line) {
  if (window.fd < 0 || line.empty()) return;
  // MSG_NOSIGNAL: a window that died must not take the host with it through SIGPIPE.
  (void)::send(window.fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

bool read_window(WindowProcess& window, std::vector<std::string>& lines) {
  if (window.fd < 0) return false;
  char bytes[4096];
  for (;;) {
    const ssize_t got = ::recv(window.fd, bytes, sizeof bytes, MSG_DONTWAIT);
    if (got > 0) {
      for (std::string& line :
           take_ui_lines(window.reader, std::string_view(bytes, static_cast<std::size_t>(got)))) {
        lines.push_back(std::move(line));
      }
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    return false;  // closed, or broken
  }
}

bool wait_for_window(WindowProcess& window, int timeout_ms, std::vector<std::string>& lines) {
  const std::int64_t end = now_ms() + timeout_ms;
  while (window.fd >= 0) {
    if (!read_window(window, lines)) return false;
    if (!lines.empty()) return true;
    const std::int64_t left = end - now_ms();
    if (left <= 0) return false;
    pollfd ready{window.fd, POLLIN, 0};
    ::poll(&ready, 1, static_cast<int>(left));
  }
  return false;
}

bool stop_window(WindowProcess& window) {
  if (window.fd >= 0) ::close(window.fd);
  window.fd = -1;
  if (window.pid <= 0) return false;
  // Only our own child is waited for, never any other child of the host.
  const std::int64_t end = now_ms() + 300;
  int status = 0;
  pid_t got = 0;
  while ((got = ::waitpid(window.pid, &status, WNOHANG)) == 0 || (got < 0 && errno == EINTR)) {
    if (now_ms() >= end) {
      ::kill(window.pid, SIGKILL);
      while (::waitpid(window.pid, nullptr, 0) < 0 && errno == EINTR) {
      }
      window.pid = -1;
      return false;
    }
    ::usleep(5000);
  }
  window.pid = -1;
  // Reaped by someone else (got < 0): how it ended is unknown.
  return got > 0 && !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace thumpa
