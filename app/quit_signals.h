// SIGTERM and SIGINT end the program as File > Exit does: the main window is closed from the
// event loop, which closes the sound output (with its closing line) and ends the run. Only the
// main thread takes them: they are blocked before any thread exists, so that every thread made
// later (the sound libraries' own, the sequencer reader, the metronome) inherits the block and
// no real-time thread is ever interrupted by them; the main thread reads them from a signalfd
// that its event loop watches. A second signal while the program is closing ends it at once.
// A signal ignored at start stays ignored.
#pragma once

namespace thumpa {

// First thing in main(), before any thread is started. Children made by fork() get the
// signals unblocked again.
void block_quit_signals();

// Watches for the blocked signals from the event loop (blocking them first, in this thread,
// if block_quit_signals() was not called).
void close_main_window_on_quit_signals();

}  // namespace thumpa
