// Playback buffers for a stream whose rate is not the voices' own 44100 Hz: the voice is
// resampled once when its buffer is made, so the real-time callback only ever copies samples.
#pragma once

#include "audio/mixer.h"

namespace thumpa {

// A new buffer holding the voice at `rate` frames per second, not sounding; null when memory
// runs out or the resampler fails. At 44100 Hz it is allocate_playback_buffer's, bit for bit.
PlaybackBuffer* allocate_playback_buffer_at(const VoiceBuffer& voice, int rate);

}  // namespace thumpa
