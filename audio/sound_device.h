// The sound service: one output device, opened once, and one playback buffer per rendered
// voice. The program mixes the sounding buffers itself in the device's callback.
#pragma once

#include <cstdint>

#include "synth/types.h"
#include "synth/voices.h"

namespace thumpa {

// A voice as 16-bit mono at 44100 Hz: sample i is the Q31 sample i shifted right
// arithmetically by 16. Owned by the sound service.
struct PlaybackBuffer;

// One slot per voice, in MENU_ORDER (see playback_slot); null when the voice has no buffer.
extern PlaybackBuffer* playback_buffer[VOICE_COUNT];

// Opens the default output device (16-bit stereo, 44100 Hz, 256-frame periods) and starts it.
// Returns 0 when open, -1 after showing the failing step's message.
int open_sound_device();

// Stops and releases the device; every playback buffer goes with it. Does nothing if closed.
void close_sound_device();

bool sound_device_open();

// Frames per period the open device really got (256 asked for); 0 while closed.
int sound_device_period_frames();

// A new buffer holding the voice, or null (after its own messages where the device failed;
// silently when no device is open).
PlaybackBuffer* make_playback_buffer(const VoiceBuffer& voice);

// Stops the buffer and frees it; null does nothing. The mixer never reads it afterwards.
void release_playback_buffer(PlaybackBuffer* buffer);

// Stops, rewinds and starts the buffer once; null does nothing.
void play_voice(PlaybackBuffer* buffer);

// Replaces a voice's slot: stops and releases the old buffer, then makes a new one from the
// voice (null when that fails). Returns the new buffer.
PlaybackBuffer* replace_playback_buffer(int slot, const VoiceBuffer& voice);

}  // namespace thumpa
