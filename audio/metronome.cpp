#include "audio/metronome.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

#include "audio/sound_device.h"
#include "synth/messages.h"

namespace thumpa {

namespace {

using Clock = std::chrono::steady_clock;

// The resolution reported at every start: ticks are scheduled on absolute deadlines of the
// steady clock, and arrive well within 1 ms of them.
constexpr int TIMER_RESOLUTION_MS = 1;

struct Metronome {
  std::mutex mutex;
  std::condition_variable_any wake;
  std::jthread thread;

  // A timer still running at program end is stopped here, so its thread never outlives the
  // program's statics, and a tick waiting for the main thread is released first.
  ~Metronome() { stop_metronome(); }
};

Metronome metronome;

std::int64_t steady_ns(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// The timer thread. Deadlines are absolute, so the time the handlers take never accumulates
// into drift; ticks missed while a handler was busy are dropped rather than fired in a burst.
void run_timer(std::stop_token stopping, std::function<void(const MetronomeTick&)> tick,
               Clock::time_point deadline) {
  std::unique_lock lock(metronome.mutex);
  for (;;) {
    // Wakes at the deadline, or at once when the stop is requested.
    const bool stopped = metronome.wake.wait_until(lock, stopping, deadline,
                                                   [&] { return stopping.stop_requested(); });
    if (stopped) return;
    lock.unlock();
    if (tick) tick(MetronomeTick{steady_ns(deadline), stopping});
    lock.lock();
    const auto now = Clock::now();
    do deadline += METRONOME_PERIOD;
    while (deadline <= now);
  }
}

}  // namespace

std::int64_t metronome_play_due_ns(const MetronomeTick& tick) {
  using std::chrono::nanoseconds;
  const std::int64_t offset = nanoseconds(METRONOME_PLAY_OFFSET).count();
  const std::int64_t late_room = nanoseconds(METRONOME_LATE_ROOM).count();
  return tick.deadline_ns + std::max(offset, sound_play_delay_ns() + late_room);
}

bool start_metronome(std::function<void(const MetronomeTick&)> tick) {
  stop_metronome();  // one timer at most

  char text[64];
  std::snprintf(text, sizeof text, "Timer resolution set to %d ms", TIMER_RESOLUTION_MS);
  show_message(text, APP_CAPTION, MessageIcon::warning);

  try {
    metronome.thread = std::jthread(run_timer, std::move(tick), Clock::now() + METRONOME_PERIOD);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void stop_metronome() {
  if (!metronome.thread.joinable()) return;
  // The stop callbacks run here, before the join: the timer's wait and a tick's own wait end.
  metronome.thread.request_stop();
  metronome.thread.join();
}

bool metronome_running() {
  return metronome.thread.joinable();
}

}  // namespace thumpa
