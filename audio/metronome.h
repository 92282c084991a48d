// The test metronome: a periodic 300 ms timer on a thread of its own. Each tick calls the
// function given at start on that thread and waits until it returns; the desktop program makes
// it hand the Closed Hi-hat's play command to the main window and wait until it is handled.
//
// start_metronome and stop_metronome belong to the main thread. A timer still running when the
// program ends is stopped by a static destructor; the desktop program stops it itself before
// its main window goes, so that no tick reaches a window that is being destroyed.
//
// A tick that waits for the main thread must give up once metronome_stop_requested() is true:
// stop_metronome, running on the main thread, waits for the tick to return.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace thumpa {

inline constexpr std::chrono::milliseconds METRONOME_PERIOD{300};

// Identifier of the running timer; 0 when none runs. Written only by start and stop.
extern std::uint32_t metronome_timer;
// The timer's resolution in milliseconds, reported at every start: ticks are scheduled on
// absolute deadlines of the steady clock, and arrive well within 1 ms of them.
extern std::uint32_t timer_resolution;

// Shows "Timer resolution set to 1 ms" (a warning, which may wait for the user), then starts
// ticking every 300 ms, the first tick 300 ms after the box. A running timer is stopped first.
// False when the timer thread cannot be made.
bool start_metronome(std::function<void()> tick);

// Stops the timer and returns once its thread has ended: no tick runs after it returns.
// Does nothing when no timer runs.
void stop_metronome();

// True from the moment stop_metronome (or a new start) asks the running timer to end.
bool metronome_stop_requested();

}  // namespace thumpa
