// SIGTERM and SIGINT end the program as File > Exit does: the main window is closed from the
// event loop, which closes the sound output (with its closing line) and ends the run. The
// handler itself only writes a byte to a pipe that the event loop watches; a second signal
// while the program is closing ends it at once. A signal ignored at start stays ignored.
#pragma once

namespace thumpa {

void close_main_window_on_quit_signals();

}  // namespace thumpa
