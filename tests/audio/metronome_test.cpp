// The metronome against the real clock: a few seconds of ticks.
#include "audio/metronome.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/message_recorder.h"

namespace thumpa {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Records when each tick's handler started and ended, and the deadline it was given; the handler
// takes `busy` to return.
struct TickLog {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Clock::time_point> starts, ends;
  std::vector<std::int64_t> deadlines;
  milliseconds busy{0};

  std::function<void(const MetronomeTick&)> handler() {
    return [this](const MetronomeTick& tick) {
      const auto start = Clock::now();
      std::this_thread::sleep_for(busy);
      std::lock_guard lock(mutex);
      starts.push_back(start);
      deadlines.push_back(tick.deadline_ns);
      ends.push_back(Clock::now());
      changed.notify_all();
    };
  }
  std::size_t count() {
    std::lock_guard lock(mutex);
    return ends.size();
  }
  bool wait_for_ticks(std::size_t n) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), [&] { return ends.size() >= n; });
  }
};

double ms_between(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

struct Metronome : ::testing::Test {
  MessageRecorder capture;
  void TearDown() override { stop_metronome(); }
};

TEST_F(Metronome, TicksEvery300MsWithoutDriftEachWaitingForItsHandler) {
  TickLog log;
  log.busy = milliseconds(40);
  const auto started = Clock::now();
  ASSERT_TRUE(start_metronome(log.handler()));
  EXPECT_TRUE(metronome_running());
  ASSERT_TRUE(log.wait_for_ticks(11));
  stop_metronome();

  const auto shown = capture.messages();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, "Timer resolution set to 1 ms");
  EXPECT_EQ(shown[0].caption, APP_CAPTION);
  EXPECT_EQ(shown[0].icon, MessageIcon::warning);

  std::lock_guard lock(log.mutex);
  EXPECT_NEAR(ms_between(started, log.starts[0]), 300.0, 30.0);
  // Deadlines are absolute: the 40 ms the handler takes must not add up over ten ticks.
  EXPECT_NEAR(ms_between(log.starts[0], log.starts[10]) / 10, 300.0, 5.0);
  for (std::size_t k = 1; k < log.starts.size(); ++k) {
    EXPECT_GE(log.starts[k], log.ends[k - 1]) << "tick " << k << " began before the last returned";
    // Each tick is given its own deadline, exactly one period after the last, and never runs
    // before it.
    EXPECT_EQ(log.deadlines[k] - log.deadlines[k - 1], 300'000'000) << "tick " << k;
    EXPECT_GE(std::chrono::nanoseconds(log.starts[k].time_since_epoch()).count(), log.deadlines[k])
        << "tick " << k;
  }
  EXPECT_EQ(metronome_play_due_ns({log.deadlines[0], {}}), log.deadlines[0] + 20'000'000);
}

TEST_F(Metronome, StopsStartsAgainAndNeverTicksAfterStop) {
  stop_metronome();  // stopping while stopped does nothing
  EXPECT_FALSE(metronome_running());

  TickLog log;
  ASSERT_TRUE(start_metronome(log.handler()));
  ASSERT_TRUE(log.wait_for_ticks(1));
  stop_metronome();
  EXPECT_FALSE(metronome_running());
  const std::size_t after_stop = log.count();
  std::this_thread::sleep_for(milliseconds(450));
  EXPECT_EQ(log.count(), after_stop);
  stop_metronome();

  ASSERT_TRUE(start_metronome(log.handler()));
  EXPECT_TRUE(metronome_running());
  EXPECT_TRUE(log.wait_for_ticks(after_stop + 1));
  EXPECT_EQ(capture.texts().size(), 2u) << "the resolution is reported at every start";
}

TEST_F(Metronome, SecondStartReplacesTheRunningTimer) {
  TickLog first, second;
  ASSERT_TRUE(start_metronome(first.handler()));
  ASSERT_TRUE(first.wait_for_ticks(1));
  ASSERT_TRUE(start_metronome(second.handler()));
  const std::size_t first_ticks = first.count();
  ASSERT_TRUE(second.wait_for_ticks(2));
  EXPECT_EQ(first.count(), first_ticks) << "the first timer kept ticking";
  stop_metronome();
  EXPECT_FALSE(metronome_running());
}

// A tick that waits for a thread which never answers, as the main thread does not while it is
// inside stop_metronome or ending the program; it gives up after 5 s at the latest, or when
// its stop token says the metronome is being stopped.
std::atomic<bool> in_tick{false};
void wait_for_a_thread_that_never_answers(const MetronomeTick& tick) {
  in_tick = true;
  std::mutex mutex;
  std::condition_variable_any never;
  std::unique_lock lock(mutex);
  never.wait_for(lock, tick.stopping, std::chrono::seconds(5), [] { return false; });
}

// Stop is requested before the join, so a waiting tick returns, whoever stops: here the static
// destructor, as the program ends.
TEST_F(Metronome, ProgramEndsPromptlyWhileATickWaits) {
  const auto started = Clock::now();
  EXPECT_EXIT(
      {
        start_metronome(wait_for_a_thread_that_never_answers);
        while (!in_tick) std::this_thread::sleep_for(milliseconds(5));
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_LT(ms_between(started, Clock::now()), 2000.0);
}

}  // namespace
}  // namespace thumpa
