// Making a voice's playback values for the plugin: the one place that calls the engine, so a
// change of the engine's render entry points touches nothing else here. Not real-time: it
// allocates, and runs in the host's worker thread or while an instance is made or restored.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "synth/types.h"

namespace thumpa {

// The host rates the plugin plays at: what the resampler takes from the voices' 44100 Hz, with
// room on both sides of the rates sound cards run at.
inline constexpr double MIN_HOST_RATE = 8000;
inline constexpr double MAX_HOST_RATE = 768000;

// What run() plays of one voice: 16-bit values at the host's rate.
struct PlaybackValues {
  std::vector<std::int16_t> values;
};

// The voice rendered from its record, shaped as the editors shape it, reduced to the top 16
// bits of each sample as the program's playback buffers hold them, and resampled once when
// the host does not run at 44100 Hz. Null when the voice cannot be made (out of memory, or a
// rate outside MIN_HOST_RATE..MAX_HOST_RATE).
std::unique_ptr<PlaybackValues> make_playback_values(const BankParams& params, VoiceId voice,
                                                     double host_rate);

}  // namespace thumpa
