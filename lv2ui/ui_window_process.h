// The plugin window's own process, seen from the host's process: started with fork and exec,
// spoken to over a socket pair, and ended and reaped by its starter. The window's toolkit never
// enters the host's process, and the window crashing ends only itself. Plain POSIX.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "lv2ui/ui_protocol.h"

namespace thumpa {

struct WindowProcess {
  pid_t pid = -1;
  int fd = -1;  // our end of the socket pair, non-blocking
  UiLineReader reader;
};

// Starts `program --socket FD --host-pid PID [--parent XID]`; the child dies with the thread
// that started it (PR_SET_PDEATHSIG). False, and nothing running, when it cannot be started.
bool start_window(WindowProcess& window, const std::string& program, std::uint64_t parent);

bool window_running(const WindowProcess& window);

// Sends a line without waiting; a window that does not read loses the line rather than
// stopping the host.
void send_to_window(WindowProcess& window, const std::string& line);

// The lines the window has sent, read without waiting. False once the window's end is closed
// (it quit or died): the caller then stops it.
bool read_window(WindowProcess& window, std::vector<std::string>& lines);

// Waits up to timeout_ms for at least one line; false on timeout or a closed end.
bool wait_for_window(WindowProcess& window, int timeout_ms, std::vector<std::string>& lines);

// Closes the socket (the window quits when it sees that), waits briefly, kills what is left
// and reaps it. True when the window had crashed before: it ended by itself through a signal
// or with a failure status. False when it closed itself, was stopped here, or was reaped by
// someone else (how it ended is then unknown).
bool stop_window(WindowProcess& window);

}  // namespace thumpa
