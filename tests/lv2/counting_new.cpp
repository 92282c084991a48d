#include "tests/lv2/counting_new.h"

#include <cstdlib>
#include <new>

namespace thumpa {

std::atomic<bool> counting_allocations{false};
std::atomic<long> allocations_counted{0};

}  // namespace thumpa

void* operator new(std::size_t size) {
  if (thumpa::counting_allocations.load(std::memory_order_relaxed)) {
    thumpa::allocations_counted.fetch_add(1);
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
  std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
