// Watches whether the machine holds back real-time threads while a timing test runs: one
// SCHED_FIFO thread pinned to each CPU wakes every millisecond and notes how late it woke. On
// a virtual machine the host may stop a CPU for several milliseconds; a sound server's or a test
// recorder's thread held back that long misses its period, which says nothing about the program
// under test. Runs until standard input ends, then prints each stall longer than THRESHOLD_MS
// (default 4) as "stall_watch: stall START_S LENGTH_MS" (START_S on CLOCK_MONOTONIC, in
// seconds: when the thread was due to wake) and "stall_watch: largest lateness N us", or
// "stall_watch: no real-time priority" when it may not have one, and exits.
//   stall_watch [THRESHOLD_MS]
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

namespace {

constexpr std::int64_t NS_PER_SECOND = 1'000'000'000;
constexpr std::int64_t WAKE_EVERY_NS = 1'000'000;
// Above the sound servers' data threads, so that their work does not count as a stall.
constexpr int WATCH_PRIORITY = 95;
// Stalls kept per CPU; a run with more than this is held back so often that the first ones
// tell enough.
constexpr std::size_t MAX_STALLS = 4096;

std::atomic<bool> stopping{false};
std::atomic<bool> refused{false};

struct Stall {
  std::int64_t start_ns;
  std::int64_t length_ns;
};

// One CPU's watch: filled before the thread starts, so that noting a stall allocates nothing.
struct Watch {
  std::int64_t largest = 0;
  std::vector<Stall> stalls;
};

std::int64_t ns_of(const timespec& t) {
  return std::int64_t{t.tv_sec} * NS_PER_SECOND + t.tv_nsec;
}

void watch(int cpu, std::int64_t threshold_ns, Watch& w) {
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
    w.largest = std::max(w.largest, late);
    if (late > threshold_ns && w.stalls.size() < MAX_STALLS) w.stalls.push_back({due, late});
    if (late > WAKE_EVERY_NS) due = ns_of(now);  // a stall is counted once, not as missed wakes
  }
}

}  // namespace

int main(int argc, char** argv) {
  const double threshold_ms = argc > 1 ? std::atof(argv[1]) : 4.0;
  const auto threshold_ns = static_cast<std::int64_t>(threshold_ms * 1e6);
  const int cpus = std::max(1, static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)));
  std::vector<Watch> watches(static_cast<std::size_t>(cpus));
  for (auto& w : watches) w.stalls.reserve(MAX_STALLS);
  std::vector<std::thread> watchers;
  for (int cpu = 0; cpu < cpus; ++cpu)
    watchers.emplace_back(watch, cpu, threshold_ns,
                          std::ref(watches[static_cast<std::size_t>(cpu)]));
  char buffer[64];
  while (read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
  }
  stopping = true;
  for (auto& w : watchers) w.join();
  if (refused) {
    std::printf("stall_watch: no real-time priority\n");
    return 0;
  }
  std::vector<Stall> all;
  std::int64_t worst = 0;
  for (const auto& w : watches) {
    worst = std::max(worst, w.largest);
    all.insert(all.end(), w.stalls.begin(), w.stalls.end());
  }
  std::sort(all.begin(), all.end(),
            [](const Stall& a, const Stall& b) { return a.start_ns < b.start_ns; });
  for (const auto& s : all)
    std::printf("stall_watch: stall %.6f %.3f\n", static_cast<double>(s.start_ns) / 1e9,
                static_cast<double>(s.length_ns) / 1e6);
  std::printf("stall_watch: largest lateness %lld us\n", static_cast<long long>(worst / 1000));
  return 0;
}
