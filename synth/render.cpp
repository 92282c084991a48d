#include "synth/render.h"

namespace thumpa {

SampleMemory sample_memory;

}  // namespace thumpa
