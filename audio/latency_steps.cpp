#include "audio/latency_steps.h"

#include <algorithm>

namespace thumpa {

LatencySteps next_latency_steps(const LatencySteps& steps, int underflows, std::int64_t now_ns) {
  LatencySteps next = steps;
  if (underflows != steps.underflows) {
    // However many underflows were counted since, one period more: the server reports each
    // underflow of a stream that keeps running late, and each report is a chance to rise again.
    next.underflows = underflows;
    next.periods = std::min(steps.periods + 1, steps.max_periods);
    next.last_step_ns = now_ns;
    next.descending = false;
    return next;
  }
  if (steps.periods <= steps.start_periods) return next;
  const std::int64_t wait = steps.descending ? LATENCY_STEP_DOWN_NS : LATENCY_HOLD_NS;
  if (now_ns - steps.last_step_ns >= wait) {
    next.periods = steps.periods - 1;
    next.last_step_ns = now_ns;
    next.descending = true;
  }
  return next;
}

}  // namespace thumpa
