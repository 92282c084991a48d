// SDL2's audio subsystem as a sound server's client: the portable fallback, on whatever driver
// SDL picks (SDL_AUDIODRIVER chooses one).
#pragma once

#include "audio/output_backend.h"

namespace thumpa {

extern const OutputBackend SDL_OUTPUT;

}  // namespace thumpa
