// The metronome against the real clock: a few seconds of ticks.
#include "audio/metronome.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/message_recorder.h"

namespace thumpa {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Records when each tick's handler started and ended; the handler takes `busy` to return.
struct TickLog {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Clock::time_point> starts, ends;
  milliseconds busy{0};

  std::function<void()> handler() {
    return [this] {
      const auto start = Clock::now();
      std::this_thread::sleep_for(busy);
      std::lock_guard lock(mutex);
      starts.push_back(start);
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
  EXPECT_NE(metronome_timer, 0u);
  ASSERT_TRUE(log.wait_for_ticks(11));
  stop_metronome();

  const auto shown = capture.messages();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, "Timer resolution set to 1 ms");
  EXPECT_EQ(shown[0].caption, APP_CAPTION);
  EXPECT_EQ(shown[0].icon, MessageIcon::warning);
  EXPECT_EQ(timer_resolution, 1u);

  std::lock_guard lock(log.mutex);
  EXPECT_NEAR(ms_between(started, log.starts[0]), 300.0, 30.0);
  // Deadlines are absolute: the 40 ms the handler takes must not add up over ten ticks.
  EXPECT_NEAR(ms_between(log.starts[0], log.starts[10]) / 10, 300.0, 5.0);
  for (std::size_t k = 1; k < log.starts.size(); ++k) {
    EXPECT_GE(log.starts[k], log.ends[k - 1]) << "tick " << k << " began before the last returned";
  }
}

TEST_F(Metronome, StopsStartsAgainAndNeverTicksAfterStop) {
  stop_metronome();  // stopping while stopped does nothing
  EXPECT_EQ(metronome_timer, 0u);

  TickLog log;
  ASSERT_TRUE(start_metronome(log.handler()));
  const std::uint32_t first_id = metronome_timer;
  ASSERT_TRUE(log.wait_for_ticks(1));
  stop_metronome();
  EXPECT_EQ(metronome_timer, 0u);
  const std::size_t after_stop = log.count();
  std::this_thread::sleep_for(milliseconds(450));
  EXPECT_EQ(log.count(), after_stop);
  stop_metronome();

  ASSERT_TRUE(start_metronome(log.handler()));
  EXPECT_NE(metronome_timer, 0u);
  EXPECT_NE(metronome_timer, first_id);
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
  EXPECT_EQ(metronome_timer, 0u);
}

// A handler that waits for a main thread which is itself inside stop_metronome: it must be able
// to see the stop request and give up, or both would wait for ever.
TEST_F(Metronome, HandlerWaitingOnTheStoppingThreadCanGiveUp) {
  std::atomic<bool> in_tick{false};
  ASSERT_TRUE(start_metronome([&] {
    in_tick = true;
    while (!metronome_stop_requested()) std::this_thread::sleep_for(milliseconds(1));
  }));
  while (!in_tick) std::this_thread::sleep_for(milliseconds(5));
  stop_metronome();
  EXPECT_EQ(metronome_timer, 0u);
  EXPECT_TRUE(metronome_stop_requested());
}

}  // namespace
}  // namespace thumpa
