// The test metronome: a periodic 300 ms timer on a thread of its own. Each tick calls the
// function given at start on that thread and waits until it returns; the desktop program makes
// it hand the Closed Hi-hat's play command to the main window and wait until it is handled.
//
// start_metronome and stop_metronome belong to the main thread. A timer still running when the
// program ends is stopped by a static destructor.
//
// Stopping waits for a running tick to return, and that tick may itself be waiting for the
// thread that stops: so the stop is requested on the tick's stop token before the wait, and a
// tick that waits for another thread gives up once its token says so.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <stop_token>

namespace thumpa {

inline constexpr std::chrono::milliseconds METRONOME_PERIOD{300};
// How long after its tick's deadline a tick's sound is due: room for a main thread that is
// late to handle the tick and for the sound output's play delay, so that the ticks still sound
// exactly one period apart. A play delay too long for that room (a server with long periods)
// moves the ticks later, keeping at least METRONOME_LATE_ROOM for the main thread; a smaller
// change of the delay moves no tick.
inline constexpr std::chrono::milliseconds METRONOME_PLAY_OFFSET{20};
inline constexpr std::chrono::milliseconds METRONOME_LATE_ROOM{10};

struct MetronomeTick {
  std::int64_t deadline_ns = 0;  // when the tick was due, on the steady clock
  std::stop_token stopping;      // stop requested: the timer is being stopped
};

// When the sound of a tick is due, on the steady clock: its deadline plus the play offset, or
// plus the sound output's play delay as it is now (sound_play_delay_ns) and the late room when
// that is more. Any thread.
std::int64_t metronome_play_due_ns(const MetronomeTick& tick);

// Shows "Timer resolution set to 1 ms" (a warning, which may wait for the user), then starts
// ticking every 300 ms, the first tick 300 ms after the box. A running timer is stopped first.
// False when the timer thread cannot be made.
bool start_metronome(std::function<void(const MetronomeTick&)> tick);

// Stops the timer and returns once its thread has ended: no tick runs after it returns. A tick
// still running is asked to give up first. Does nothing when no timer runs.
void stop_metronome();

bool metronome_running();

}  // namespace thumpa
