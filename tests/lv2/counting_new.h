// A global operator new that counts the allocations made while counting is on, so that a test
// can show that a stretch of code allocates nothing (shared objects loaded later use it too);
// and a mallopt that only counts, so that a test can show the plugin leaves the host's
// allocator alone.
#pragma once

#include <atomic>

namespace thumpa {

extern std::atomic<bool> counting_allocations;
extern std::atomic<long> allocations_counted;
extern std::atomic<long> mallopt_calls;

}  // namespace thumpa
