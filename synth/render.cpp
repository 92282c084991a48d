#include "synth/render.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace thumpa {

SampleMemory sample_memory{std::malloc, std::realloc};

// Every render takes an 84000-sample scratch array and gives most of it back. Left to its
// defaults, glibc serves such a block with a fresh mapping or trims it off the heap again, so
// each render pays for page faults on memory it just had; that was a third of the time of
// rendering the whole bank. Keeping voice-sized blocks on the heap avoids it. The allocator
// belongs to the whole process, so only the program's own executables tune it: never the engine
// itself, which also runs inside a host as the plugin.
void keep_render_scratch_on_heap() {
#if defined(__GLIBC__)
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  mallopt(M_TRIM_THRESHOLD, 16 << 20);
#endif
}

}  // namespace thumpa
