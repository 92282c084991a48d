// Watches whether the machine holds back real-time threads while a timing test runs: one
// SCHED_FIFO thread pinned to each CPU wakes every millisecond and notes how late it woke. On
// a virtual machine the host may stop a CPU for several milliseconds; a sound server's or a test
// recorder's thread held back that long misses its period, which says nothing about the program
// under test. Runs until standard input ends, then prints "stall_watch: largest lateness N us"
// (or "stall_watch: no real-time priority" when it may not have one) and exits.
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

namespace {

constexpr std::int64_t NS_PER_SECOND = 1'000'000'000;
constexpr std::int64_t WAKE_EVERY_NS = 1'000'000;
// Above the sound servers' data threads, so that their work does not count as a stall.
constexpr int WATCH_PRIORITY = 95;

std::atomic<bool> stopping{false};
std::atomic<bool> refused{false};

std::int64_t ns_of(const timespec& t) {
  return std::int64_t{t.tv_sec} * NS_PER_SECOND + t.tv_nsec;
}

void watch(int cpu, std::atomic<std::int64_t>& largest) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  pthread_setaffinity_np(pthread_self(), sizeof set, &set);
  const sched_param param{WATCH_PRIORITY};
  if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0) {
    refused = true;
    return;
  }
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  std::int64_t due = ns_of(now);
  while (!stopping.load(std::memory_order_relaxed)) {
    due += WAKE_EVERY_NS;
    const timespec at{static_cast<time_t>(due / NS_PER_SECOND),
                      static_cast<long>(due % NS_PER_SECOND)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::int64_t late = ns_of(now) - due;
    if (late > largest.load(std::memory_order_relaxed)) largest.store(late);
    if (late > WAKE_EVERY_NS) due = ns_of(now);  // a stall is counted once, not as missed wakes
  }
}

}  // namespace

int main() {
  const int cpus = std::max(1, static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)));
  std::vector<std::atomic<std::int64_t>> largest(static_cast<std::size_t>(cpus));
  std::vector<std::thread> watchers;
  for (int cpu = 0; cpu < cpus; ++cpu)
    watchers.emplace_back(watch, cpu, std::ref(largest[static_cast<std::size_t>(cpu)]));
  char buffer[64];
  while (read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
  }
  stopping = true;
  for (auto& w : watchers) w.join();
  if (refused) {
    std::printf("stall_watch: no real-time priority\n");
    return 0;
  }
  std::int64_t worst = 0;
  for (const auto& l : largest) worst = std::max(worst, l.load());
  std::printf("stall_watch: largest lateness %lld us\n", static_cast<long long>(worst / 1000));
  return 0;
}
