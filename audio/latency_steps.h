// How a stream's target latency follows the server's underflows: one period more for each
// underflow, and back down one period at a time once the server has played without one for a
// while, never below where it started. A pure function over a small record, so that the
// stream's loop calls it from its underflow and timer callbacks and a test drives it with fixed
// numbers.
#pragma once

#include <cstdint>

namespace thumpa {

struct LatencySteps {
  int start_periods = 2;
  int max_periods = 8;
  int periods = 2;                // the target now
  int underflows = 0;             // the server's underflow count as last taken in
  std::int64_t last_step_ns = 0;  // when the target last rose or fell (steady clock)
  bool descending = false;        // true once the first step down after a rise was taken
};

// After an underflow the target holds this long before its first step down: a machine busy for a
// moment tends to stay busy for a few seconds more.
constexpr std::int64_t LATENCY_HOLD_NS = 10'000'000'000;
// Each further step down follows the one before after this much more quiet, so that even the
// largest target (eight periods from two) is back at its start 20 s after the last underflow.
constexpr std::int64_t LATENCY_STEP_DOWN_NS = 2'000'000'000;

// The record as of now_ns, given the server's underflow count (which only grows within a
// stream): one period more when the count rose since the last call (at most max_periods), one
// period less when the target has stood long enough without an underflow (at least
// start_periods), otherwise unchanged.
LatencySteps next_latency_steps(const LatencySteps& steps, int underflows, std::int64_t now_ns);

}  // namespace thumpa
