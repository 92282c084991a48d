// Sound output through a PulseAudio server (or anything speaking its protocol): a playback
// stream whose target latency starts small, grows with every underflow the server reports and
// steps back down once the server has played a while without one.
#pragma once

#include "audio/output_backend.h"

namespace thumpa {

extern const OutputBackend PULSE_OUTPUT;  // name "pulse"

}  // namespace thumpa
