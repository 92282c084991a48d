#include "audio/metronome.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

#include "synth/messages.h"

namespace thumpa {

std::uint32_t metronome_timer = 0;
std::uint32_t timer_resolution = 0;

namespace {

using Clock = std::chrono::steady_clock;

struct Metronome {
  std::thread thread;
  std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;  // guarded by mutex
  std::atomic<bool> stop_requested{false};
  std::uint32_t last_id = 0;

  // A timer still running at program end is stopped here, so its thread never outlives the
  // program's statics (and std::thread is never destroyed while joinable).
  ~Metronome() { stop_metronome(); }
};

Metronome metronome;

// One tick: the handler runs on the timer thread, which waits until it returns.
void metronome_tick(const std::function<void()>& tick) {
  if (tick) tick();
}

// The timer thread. Deadlines are absolute, so the time the handlers take never accumulates
// into drift; ticks missed while a handler was busy are dropped rather than fired in a burst.
void run_timer(std::function<void()> tick, Clock::time_point deadline) {
  std::unique_lock lock(metronome.mutex);
  for (;;) {
    if (metronome.wake.wait_until(lock, deadline, [] { return metronome.stop; })) return;
    lock.unlock();
    metronome_tick(tick);
    lock.lock();
    const auto now = Clock::now();
    do deadline += METRONOME_PERIOD;
    while (deadline <= now);
  }
}

}  // namespace

bool start_metronome(std::function<void()> tick) {
  stop_metronome();  // one timer at most

  timer_resolution = 1;
  char text[64];
  std::snprintf(text, sizeof text, "Timer resolution set to %d ms",
                static_cast<int>(timer_resolution));
  show_message(text, APP_CAPTION, MessageIcon::warning);

  {
    std::lock_guard lock(metronome.mutex);
    metronome.stop = false;
  }
  metronome.stop_requested = false;
  try {
    metronome.thread = std::thread(run_timer, std::move(tick), Clock::now() + METRONOME_PERIOD);
  } catch (const std::system_error&) {
    return false;
  }
  if (++metronome.last_id == 0) ++metronome.last_id;
  metronome_timer = metronome.last_id;
  return true;
}

void stop_metronome() {
  if (metronome_timer == 0) return;
  metronome.stop_requested = true;
  {
    std::lock_guard lock(metronome.mutex);
    metronome.stop = true;
  }
  metronome.wake.notify_all();
  metronome.thread.join();
  metronome_timer = 0;
}

bool metronome_stop_requested() {
  return metronome.stop_requested;
}

}  // namespace thumpa
