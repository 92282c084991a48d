// Sound output through a PulseAudio server (or anything speaking its protocol): a playback
// stream whose target latency starts small and grows with every underflow the server reports.
#pragma once

#include "audio/output_backend.h"

namespace thumpa {

extern const OutputBackend PULSE_OUTPUT;  // name "pulse"

}  // namespace thumpa
