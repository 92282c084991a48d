// The sound service: one output stream on a sound server, opened once, and one playback buffer
// per rendered voice. The program mixes the sounding buffers itself in the stream's callback.
#pragma once

#include <cstdint>

#include "audio/output_backend.h"
#include "synth/types.h"
#include "synth/voices.h"

namespace thumpa {

// A voice as 16-bit mono at 44100 Hz: sample i is the Q31 sample i shifted right
// arithmetically by 16 (resampled to the stream's rate where a JACK server runs at another,
// and again when it changes its rate). Owned by the sound service.
struct PlaybackBuffer;

// A playback buffer as its owners hold it: the mixer's place it sits in and the generation of
// that place's buffer. Once the buffer is released, or goes with the device, the handle no
// longer matches anything, even when a new buffer takes the same place (or the same memory).
struct PlaybackHandle {
  int place = -1;
  std::uint32_t generation = 0;  // 0: no buffer

  explicit operator bool() const { return generation != 0; }
  friend bool operator==(const PlaybackHandle&, const PlaybackHandle&) = default;
};

// One slot per voice, in MENU_ORDER (see playback_slot); empty when the voice has no buffer.
extern PlaybackHandle playback_buffer[VOICE_COUNT];

// The backend open_sound_device uses from now on. Without it, each open takes the one named by
// THUMPA_AUDIO, or the automatic choice.
void use_sound_output(const OutputBackend& backend);
// Back to THUMPA_AUDIO or the automatic choice at each open.
void use_sound_output_of_environment();

// Opens an output stream (16-bit stereo, 44100 Hz, 256-frame periods) on the chosen backend
// and starts it. Returns 0 when open, -1 after showing the failing step's message, the
// backend's own reason as its detail.
int open_sound_device();

// Stops and releases the stream; every playback buffer goes with it. Does nothing if closed.
// The closing line on stderr counts the underflows of every stream since the open.
void close_sound_device();

bool sound_device_open();

// Frames per period the open stream really got (256 asked for); 0 while closed.
int sound_device_period_frames();

// A new buffer holding the voice, or an empty handle (after its own messages where the device
// failed; silently when no device is open).
PlaybackHandle make_playback_buffer(const VoiceBuffer& voice);

// Stops the buffer and frees it. An empty or stale handle does nothing. The mixer never reads
// the buffer afterwards.
void release_playback_buffer(PlaybackHandle buffer);

// Stops, rewinds and starts the buffer once: at due_ns on the steady clock, or when due_ns is
// 0, the backend's constant play delay (as the backend says it now) after now. An empty or stale
// handle does nothing.
void play_voice(PlaybackHandle buffer, std::int64_t due_ns = 0);

// Replaces a voice's slot: stops and releases the old buffer, then makes a new one from the
// voice (empty when that fails), which the MIDI inputs then start for the slot's notes. Returns
// the new handle.
PlaybackHandle replace_playback_buffer(int slot, const VoiceBuffer& voice);

// What the status line says of the sound output, as it is now.
struct SoundOutputStatus {
  const char* output = nullptr;  // the backend's title ("PipeWire"); null while closed
  int period_frames = 0;
  int latency_frames = 0;
  int sample_rate = 0;
  bool gone = false;                         // the server went away under the stream
  const char* midi_input = "no MIDI input";  // "MIDI: JACK midi_in", "MIDI: ALSA port Thumpa"
};

// Main thread.
SoundOutputStatus sound_output_status();

// Main thread, at most every 500 ms: follows the stream's server. The voices are made again
// when the stream's rate is no longer the buffers' (handles and slots stay valid), and the play
// delay the other threads read is taken again. A server that went away is said once (a
// warning in the window and a line on stderr) and the stream closed; each later poll tries to
// open it again, quietly, and says on stderr when the output is back. Meanwhile the program
// runs on silent, with every buffer and handle kept.
void poll_sound_output();

// Any thread: the play delay as the last poll (or the open) took it from the backend; 0 while
// closed.
std::int64_t sound_play_delay_ns();

}  // namespace thumpa
