// Making a voice's playback values for the plugin: the one place that calls the engine, so a
// change of the engine's render entry points touches nothing else here. Not real-time: it
// allocates, and runs in the host's worker thread or while an instance is made or restored.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "synth/types.h"

namespace thumpa {

// What run() plays of one voice: 16-bit values at the host's rate.
struct PlaybackValues {
  std::vector<std::int16_t> values;
};

// The voice rendered from its record, shaped as the editors shape it, reduced to the top 16
// bits of each sample as the program's playback buffers hold them, and resampled once when
// the host does not run at 44100 Hz. Null when the voice cannot be made (out of memory).
std::unique_ptr<PlaybackValues> make_playback_values(const BankParams& params, VoiceId voice,
                                                     double host_rate);

}  // namespace thumpa
