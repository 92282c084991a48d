// Sound output through a PipeWire server's native protocol: a playback stream whose frames
// the mixer writes in PipeWire's own real-time data thread, timed by the server's clock.
#pragma once

#include "audio/output_backend.h"

namespace thumpa {

extern const OutputBackend PIPEWIRE_OUTPUT;  // name "pipewire"

}  // namespace thumpa
