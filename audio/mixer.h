// The program's own mixer: every sounding playback buffer summed into one 16-bit stereo stream.
// It runs on the sound device's thread; the main thread only attaches, detaches and plays
// buffers. The mixer is a plain function over MixerState, so it can be driven without a device.
//
// How a buffer is handed between the two threads without locks:
// - The main thread publishes a buffer by storing its pointer in a free place of
//   MixerState::voices, and withdraws it by storing null there. Only the main thread writes
//   those places.
// - mix_frames counts MixerState::passes up once when it starts and once when it ends, so the
//   count is odd while a pass may be reading buffers.
// - After withdrawing a buffer, mixer_detach reads the count. Even: no pass is running, and any
//   later pass reads the null. Odd: it waits (yielding) until the count moves on, which takes
//   at most one pass, a few microseconds. All of these are sequentially consistent, so one of
//   the two cases always holds. The buffer can then be freed: the mixer never reads it again.
// The mixer itself never waits for the main thread, never allocates and never frees.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "audio/pcm16.h"
#include "audio/stream_units.h"
#include "audio/voice_mix.h"
#include "synth/types.h"

namespace thumpa {

inline constexpr int PERIOD_FRAMES = 256;  // frames per period asked of the device
// How many buffers can be attached at once: eight slots plus room for the ones made before the
// old ones of a slot are released, and for tools that keep their own.
inline constexpr int MIXER_VOICES = 64;

// One voice as 16-bit mono PCM, with its playback state.
struct PlaybackBuffer {
  // The values (from playback_memory, owned by the buffer) are set before the buffer is
  // attached; the rest of it is read and written by the mixer only.
  SoundingVoice sound;

  // Written by the main thread: the latest play request as one word, so the mixer always reads
  // a due time together with the request it belongs to. The word holds the due time in steps
  // of 1024 ns, rounded up (a 22nd of a frame: a request never starts a frame early), above an
  // 11-bit sequence number that tells apart requests due at the same time. The mixer compares
  // the word with the last one it acted on.
  std::atomic<std::uint64_t> play_request{0};

  // Written by the mixer only: the last request word it acted on. The main thread reads it once
  // the buffer is out of the mixer, to hand a request still pending on to the buffer that
  // replaces it.
  std::atomic<std::uint64_t> request_seen{0};

  // Written by the main thread once: the buffer that takes this one's place (mixer_replace).
  std::atomic<PlaybackBuffer*> replaced_by{nullptr};
};

// When the frames of a pass will be heard, in the steady clock of play requests: the mixer
// keeps a smoothed estimate from the times its passes start, so that the jitter of the
// device's thread does not move the voices it starts. Mixer thread only.
struct StreamClock {
  bool valid = false;
  int rate = 0;                // the frame rate the estimate counts
  std::int64_t frames = 0;     // frames produced so far
  std::int64_t origin_ns = 0;  // estimated time of frame 0
};

// The playback slots an instrument input (a MIDI port) can start, one per voice of the bank.
inline constexpr int INSTRUMENT_SLOTS = 8;

// A slot's voice started at a frame of a pass, by an input that knows the frame of each of its
// events (a JACK MIDI port): frame k of the pass is the voice's first sample, played at the
// note's velocity.
struct FrameStart {
  int frame = 0;
  int slot = 0;
  int velocity = MAX_VELOCITY;
};

// A slot's voice started at a time on the steady clock, by an input thread that only knows when
// its events arrived (an ALSA sequencer port).
struct TimedStart {
  std::int64_t due_ns = 0;
  int slot = 0;
  int velocity = MAX_VELOCITY;
};

// Timed starts on their way from one input thread to the mixer: a ring with one writer and one
// reader, so neither side waits. Due times need not grow (the play delay falls when the server's
// period does), so the mixer moves every queued start into its own waiting list and takes from
// there those due in its pass.
inline constexpr std::uint32_t TIMED_START_CAPACITY = 256;
struct TimedStartQueue {
  TimedStart entries[TIMED_START_CAPACITY];
  std::atomic<std::uint32_t> written{0};  // by the input thread
  std::atomic<std::uint32_t> taken{0};    // by the mixer
};

// The mixer thread's own state: only the mixer reads and writes it, and
// mixer_reset_for_new_stream while no stream runs.
struct MixerOwnState {
  StreamClock clock;
  // Timed starts taken from the queue and due in a later pass, in the order they were queued.
  TimedStart waiting_starts[TIMED_START_CAPACITY];
  std::uint32_t waiting_count = 0;
};

// The mixer: what the other threads hand it (the places, slots, requests in the buffers, the
// queue of timed starts, the rate and the switches), and its own state.
struct MixerState {
  std::atomic<PlaybackBuffer*> voices[MIXER_VOICES] = {};
  std::atomic<std::uint32_t> passes{0};  // odd while mix_frames runs
  // The buffer each slot plays, published by the main thread for the instrument inputs; a
  // slot's buffer is unpublished before it is detached, so a pass that reads it from here is
  // one that mixer_detach waits for.
  std::atomic<PlaybackBuffer*> slot_buffers[INSTRUMENT_SLOTS] = {};
  TimedStartQueue timed_starts;
  // Frames per second of the stream the mixer fills now, for placing due times on frames. A
  // backend whose server changes its rate while the stream runs stores the new one here.
  std::atomic<int> rate{SAMPLE_RATE};
  // How the instrument plays, set by the main thread: every start at full level whatever its
  // velocity; a start of the closed hi-hat's slot stops the open hi-hat's at its frame.
  std::atomic<bool> fixed_velocity{false};
  std::atomic<bool> choke{false};

  MixerOwnState own;
};

// While no stream runs (no pass can start): the mixer as a new stream must find it, with no
// earlier clock, at the voices' rate, and no start queued or asked for meanwhile (a key pressed
// while the server was away does not sound when it is back); every buffer falls silent.
void mixer_reset_for_new_stream(MixerState& mixer);

// While no stream runs: forgets the stream clock alone, for a backend whose new stream counts
// its frames from 0. It touches no buffer, so it may run beside the main thread.
void mixer_restart_clock(MixerState& mixer);

// The steady clock in nanoseconds, the time base of play requests and passes.
std::int64_t steady_now_ns();

// Where playback buffers get their sample memory. Tests replace it to make a buffer fail on
// purpose.
struct PlaybackMemory {
  void* (*allocate)(std::size_t bytes);
};
extern PlaybackMemory playback_memory;

// A new buffer holding the voice converted to 16 bits, not sounding; null when memory runs
// out. An empty voice gives a buffer of no samples, which plays as silence.
PlaybackBuffer* allocate_playback_buffer(const VoiceBuffer& voice);
// Frees a buffer that is not attached to any mixer (or was detached). Null does nothing.
void free_playback_buffer(PlaybackBuffer* buffer);

// Main thread. Publishes the buffer to the mixer and returns the index of the place it took;
// -1 when every place is taken.
int mixer_attach(MixerState& mixer, PlaybackBuffer* buffer);
// Main thread. True when the buffer is attached to this mixer.
bool mixer_has(const MixerState& mixer, const PlaybackBuffer* buffer);
// Main thread. Withdraws the buffer (it stops sounding) and returns once the mixer can no
// longer be reading it. A buffer that is not attached is left alone.
void mixer_detach(MixerState& mixer, PlaybackBuffer* buffer);
// Main thread. Puts `replacement` (not attached) in the place of `attached` (which stops
// sounding) and makes it the published buffer of every slot that had `attached`; returns once
// the mixer can no longer be reading `attached`, which the caller then frees. A play request
// of `attached` the mixer had not started yet is handed on to `replacement`, due as it was.
// False, changing nothing, when `attached` is not attached.
bool mixer_replace(MixerState& mixer, PlaybackBuffer* attached, PlaybackBuffer* replacement);
// Main thread. Makes `buffer` (attached, or null for none) the one the instrument inputs start
// for the slot. Unpublish a buffer before detaching it.
void mixer_publish_slot(MixerState& mixer, int slot, PlaybackBuffer* buffer);

// The input thread. Asks the mixer to start the slot's voice at due_ns on the steady clock,
// with the same restart rule as request_play. False when the queue is full (the start is lost).
bool queue_timed_start(MixerState& mixer, TimedStart start);

// Main thread. Asks the mixer to play the buffer from its first sample, cutting off what it was
// playing: at the frame due at due_ns on the steady clock, or at the start of the next pass when
// due_ns is 0 or already past.
void request_play(PlaybackBuffer& buffer, std::int64_t due_ns = 0);

// Mixer thread. Writes `frames` interleaved stereo frames (left, right) of every sounding
// buffer summed, clamped to 16 bits, the same value on both channels, and moves each buffer
// on. A buffer that reaches its end stops. pass_ns is when the pass started on the steady
// clock; 0 means unknown, and every request is then taken at the pass's first frame.
void mix_frames(MixerState& mixer, std::int16_t* out, int frames, std::int64_t pass_ns = 0);

// Mixer thread. As mix_frames (or mix_frames_starting, with starts), for a stream that says
// itself when its frames are heard: the first frame of this pass sounds at first_frame_ns on
// the steady clock, taken as it is, without smoothing. 0 means unknown, as for mix_frames.
void mix_frames_at(MixerState& mixer, std::int16_t* out, int frames, std::int64_t first_frame_ns,
                   std::span<const FrameStart> starts = {}, float* const* slot_outputs = nullptr);

// Mixer thread. As mix_frames, and each start (in order of frame, each frame below `frames`)
// restarts its slot's published voice at its frame of this pass, at its velocity. When
// `slot_outputs` is given (INSTRUMENT_SLOTS places, null for a slot nobody listens to), each
// slot's published buffer is also written alone, as floats (value / 32768), to its place.
void mix_frames_starting(MixerState& mixer, std::int16_t* out, int frames, std::int64_t pass_ns,
                         std::span<const FrameStart> starts, float* const* slot_outputs = nullptr);

}  // namespace thumpa
