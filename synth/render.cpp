#include "synth/render.h"

#include <mutex>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace thumpa {

namespace {

// Every render takes an 84000-sample scratch array and gives most of it back. Left to its
// defaults, glibc serves such a block with a fresh mapping or trims it off the heap again, so
// each render pays for page faults on memory it just had; that was a third of the time of
// rendering the whole bank. Keeping voice-sized blocks on the heap avoids it.
void keep_scratch_on_heap() {
#if defined(__GLIBC__)
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  mallopt(M_TRIM_THRESHOLD, 16 << 20);
#endif
}

void* allocate_scratch(std::size_t bytes) {
  static std::once_flag tuned;
  std::call_once(tuned, keep_scratch_on_heap);
  return std::malloc(bytes);
}

}  // namespace

SampleMemory sample_memory{allocate_scratch, std::realloc};

}  // namespace thumpa
