#include "tests/lv2/counting_new.h"

#include <cstdlib>
#include <new>

namespace thumpa {

std::atomic<bool> counting_allocations{false};
std::atomic<long> allocations_counted{0};
std::atomic<long> mallopt_calls{0};

}  // namespace thumpa

namespace {

void* counted_allocation(std::size_t size) noexcept {
  if (thumpa::counting_allocations.load(std::memory_order_relaxed)) {
    thumpa::allocations_counted.fetch_add(1);
  }
  return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

// Every plain form of new and delete, so that no pair mixes this allocator with another one.
void* operator new(std::size_t size) {
  if (void* p = counted_allocation(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = counted_allocation(size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return counted_allocation(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return counted_allocation(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}

// Exported from the test program (see CMakeLists.txt), so that it comes before the C library's
// for the plugin too.
extern "C" int mallopt(int, int) {
  thumpa::mallopt_calls.fetch_add(1);
  return 1;
}
