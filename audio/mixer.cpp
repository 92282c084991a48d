#include "audio/mixer.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>

#include "synth/voices.h"

namespace thumpa {

PlaybackMemory playback_memory{std::malloc};

PlaybackBuffer* allocate_playback_buffer(const VoiceBuffer& voice) {
  const std::uint32_t count = voice.samples ? voice.count : 0;
  auto* buffer = new (std::nothrow) PlaybackBuffer;
  if (buffer == nullptr) return nullptr;
  if (count > 0) {
    auto* values = static_cast<std::int16_t*>(
        playback_memory.allocate(std::size_t{count} * sizeof(std::int16_t)));
    if (values == nullptr) {
      delete buffer;
      return nullptr;
    }
    for (std::uint32_t i = 0; i < count; ++i) values[i] = pcm16_from_q31(voice.samples[i]);
    buffer->sound.samples = values;
  }
  buffer->sound.count = count;
  return buffer;
}

void free_playback_buffer(PlaybackBuffer* buffer) {
  if (buffer == nullptr) return;
  // The buffer owns its values; the sounding voice only reads them.
  std::free(const_cast<std::int16_t*>(buffer->sound.samples));
  delete buffer;
}

int mixer_attach(MixerState& mixer, PlaybackBuffer* buffer) {
  for (int i = 0; i < MIXER_VOICES; ++i) {
    if (mixer.voices[i].load(std::memory_order_relaxed) == nullptr) {
      mixer.voices[i].store(buffer, std::memory_order_seq_cst);
      return i;
    }
  }
  return -1;
}

bool mixer_has(const MixerState& mixer, const PlaybackBuffer* buffer) {
  if (buffer == nullptr) return false;
  return std::any_of(std::begin(mixer.voices), std::end(mixer.voices), [buffer](const auto& place) {
    return place.load(std::memory_order_relaxed) == buffer;
  });
}

namespace {

// The mixer's thread must never wait for a lock, not even inside an atomic.
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
static_assert(std::atomic<PlaybackBuffer*>::is_always_lock_free);

// A play request's word: 53 bits of due-time steps hold any non-negative steady-clock time.
constexpr int SEQUENCE_BITS = 11;
constexpr int DUE_STEP_SHIFT = 10;
constexpr std::uint64_t SEQUENCE_MASK = (std::uint64_t{1} << SEQUENCE_BITS) - 1;
constexpr std::uint64_t MAX_DUE_STEPS = (std::uint64_t{1} << (64 - SEQUENCE_BITS)) - 1;

std::uint64_t play_request_word(std::int64_t due_ns, std::uint64_t previous_word) {
  constexpr std::int64_t STEP = std::int64_t{1} << DUE_STEP_SHIFT;
  const std::uint64_t steps =
      due_ns <= 0 ? 0 : static_cast<std::uint64_t>(due_ns / STEP + (due_ns % STEP != 0));
  const std::uint64_t sequence = (previous_word + 1) & SEQUENCE_MASK;
  return std::min(steps, MAX_DUE_STEPS) << SEQUENCE_BITS | sequence;
}

std::int64_t play_request_due_ns(std::uint64_t word) {
  return static_cast<std::int64_t>(word >> SEQUENCE_BITS << DUE_STEP_SHIFT);
}

// Puts `replacement` (null: none) where `buffer` is; false when it is nowhere.
bool withdraw(MixerState& mixer, PlaybackBuffer* buffer, PlaybackBuffer* replacement) {
  bool withdrawn = false;
  for (auto& place : mixer.voices) {
    if (place.load(std::memory_order_relaxed) == buffer) {
      place.store(replacement, std::memory_order_seq_cst);
      withdrawn = true;
    }
  }
  return withdrawn;
}

// A pass that started before a withdrawal may still hold the pointer: waits for it to end.
void wait_for_running_pass(const MixerState& mixer) {
  const std::uint32_t seen = mixer.passes.load(std::memory_order_seq_cst);
  if (seen % 2 == 0) return;
  while (mixer.passes.load(std::memory_order_seq_cst) == seen) std::this_thread::yield();
}

}  // namespace

void mixer_detach(MixerState& mixer, PlaybackBuffer* buffer) {
  if (buffer == nullptr || !withdraw(mixer, buffer, nullptr)) return;
  wait_for_running_pass(mixer);
}

bool mixer_replace(MixerState& mixer, PlaybackBuffer* attached, PlaybackBuffer* replacement) {
  if (attached == nullptr || replacement == nullptr) return false;
  // The replacement comes in with the old buffer's request taken as seen; if the mixer had not
  // acted on it before the swap, it is asked again of the replacement below.
  const std::uint64_t request = attached->play_request.load(std::memory_order_relaxed);
  replacement->play_request.store(request, std::memory_order_relaxed);
  replacement->request_seen.store(request, std::memory_order_relaxed);
  // Named before it takes the place: a pass that read `attached` from a slot starts the
  // replacement it finds in the place.
  attached->replaced_by.store(replacement, std::memory_order_seq_cst);
  if (!withdraw(mixer, attached, replacement)) return false;
  for (auto& slot : mixer.slot_buffers) {
    if (slot.load(std::memory_order_relaxed) == attached)
      slot.store(replacement, std::memory_order_seq_cst);
  }
  wait_for_running_pass(mixer);
  // No pass reads the old buffer now: a key or tick it had not started yet plays on the new one.
  if (attached->request_seen.load(std::memory_order_seq_cst) != request)
    request_play(*replacement, play_request_due_ns(request));
  return true;
}

void mixer_publish_slot(MixerState& mixer, int slot, PlaybackBuffer* buffer) {
  if (slot >= 0 && slot < INSTRUMENT_SLOTS)
    mixer.slot_buffers[slot].store(buffer, std::memory_order_seq_cst);
}

bool queue_timed_start(MixerState& mixer, TimedStart start) {
  TimedStartQueue& q = mixer.timed_starts;
  const std::uint32_t written = q.written.load(std::memory_order_relaxed);
  if (written - q.taken.load(std::memory_order_acquire) >= TIMED_START_CAPACITY) return false;
  q.entries[written % TIMED_START_CAPACITY] = start;
  q.written.store(written + 1, std::memory_order_release);
  return true;
}

std::int64_t steady_now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void request_play(PlaybackBuffer& buffer, std::int64_t due_ns) {
  // Only the main thread writes the word, so reading it back needs no ordering.
  const std::uint64_t previous = buffer.play_request.load(std::memory_order_relaxed);
  buffer.play_request.store(play_request_word(due_ns, previous), std::memory_order_release);
}

namespace {

// A pass that starts this far from where the clock expects it restarts the estimate: the
// device has just started, or the stream stalled.
constexpr std::int64_t CLOCK_RESET_NS = 20'000'000;
// Each pass moves the estimate this fraction of the way toward its own start time, which
// averages out the jitter of the device's thread and follows the device's clock drift.
constexpr std::int64_t CLOCK_SMOOTHING = 16;

// The mixer's rate, as a backend published it; the voices' own when it makes no sense.
int mixer_rate(const MixerState& mixer) {
  const int rate = mixer.rate.load(std::memory_order_relaxed);
  return rate > 0 ? rate : SAMPLE_RATE;
}

// Where the first frame of a pass that started at pass_ns falls on the steady clock.
std::int64_t advance_clock(StreamClock& c, std::int64_t pass_ns, int frames, int rate) {
  if (c.rate != rate) {  // frames counted at another rate say nothing of this one's times
    c = StreamClock{};
    c.rate = rate;
  }
  const std::int64_t observed = pass_ns - frames_to_ns(c.frames, rate);
  const std::int64_t error = observed - c.origin_ns;
  if (!c.valid || error > CLOCK_RESET_NS || error < -CLOCK_RESET_NS) {
    c.origin_ns = observed;
    c.valid = true;
  } else {
    c.origin_ns += error / CLOCK_SMOOTHING;
  }
  const std::int64_t start = c.origin_ns + frames_to_ns(c.frames, rate);
  c.frames += frames;
  return start;
}

// The frame, counted from a chunk that starts at chunk_ns, at which a request due at due_ns
// starts; 0 when either time is unknown or the request is due already.
std::int64_t request_frame(std::int64_t due_ns, std::int64_t chunk_ns, int rate) {
  if (due_ns == 0 || chunk_ns == 0 || due_ns <= chunk_ns) return 0;
  const std::int64_t wait = std::min(due_ns - chunk_ns, NS_PER_SECOND);  // keeps the product small
  return wait * rate / NS_PER_SECOND;
}

// A start of this pass: its slot, at its gain.
struct PassStart {
  int frame;
  int slot;
  std::int32_t gain;
};

// Most starts one pass takes; more in one period than any player or sequencer sends.
constexpr int MAX_PASS_STARTS = 128;
// Most notes one pass plays: every place's request, the closed hi-hat's choke, and each start
// on the places of its slot's buffer (and of the one replacing it) with its choke.
constexpr int MAX_PASS_NOTES = MIXER_VOICES + 1 + 4 * MAX_PASS_STARTS;

std::int32_t start_gain(const MixerState& mixer, int velocity) {
  return mixer.fixed_velocity.load(std::memory_order_relaxed) ? FULL_GAIN : velocity_gain(velocity);
}

// Moves the input thread's queued starts into the mixer's waiting list, then takes from it the
// starts due before the end of a pass of `frames` whose first frame sounds at pass_start (0:
// unknown, every start is due now), as starts by frame added to `starts`. The rest wait, in
// their order, for a later pass.
void take_timed_starts(MixerState& mixer, std::int64_t pass_start, int frames, int rate,
                       PassStart* starts, int& count) {
  TimedStartQueue& q = mixer.timed_starts;
  std::uint32_t taken = q.taken.load(std::memory_order_relaxed);
  const std::uint32_t written = q.written.load(std::memory_order_acquire);
  for (; taken != written && mixer.own.waiting_count < TIMED_START_CAPACITY; ++taken)
    mixer.own.waiting_starts[mixer.own.waiting_count++] = q.entries[taken % TIMED_START_CAPACITY];
  q.taken.store(taken, std::memory_order_release);

  std::uint32_t kept = 0;
  for (std::uint32_t i = 0; i < mixer.own.waiting_count; ++i) {
    const TimedStart t = mixer.own.waiting_starts[i];
    const std::int64_t frame = request_frame(t.due_ns, pass_start, rate);
    if (frame >= frames || count == MAX_PASS_STARTS) {
      mixer.own.waiting_starts[kept++] = t;
      continue;
    }
    if (t.slot < 0 || t.slot >= INSTRUMENT_SLOTS) continue;
    add_note(starts, count,
             PassStart{static_cast<int>(frame), t.slot, start_gain(mixer, t.velocity)});
  }
  mixer.own.waiting_count = kept;
}

// True when a place's buffer is the one a slot published as this pass read it: the same, or the
// one that replaced it in its place meanwhile (the replacement was named before it took the
// place, so a pass that reads the new buffer there also reads the name).
bool is_slot_buffer(PlaybackBuffer* published, PlaybackBuffer* in_place) {
  return published == in_place ||
         (published != nullptr &&
          published->replaced_by.load(std::memory_order_seq_cst) == in_place);
}

// The frame of the pass at which the buffer's pending play request starts it; -1: not in this
// pass. Placed a chunk at a time from each chunk's own start, as the mix is summed.
int request_at(const PlaybackBuffer& b, std::uint64_t request, std::int64_t pass_start, int frames,
               int rate) {
  if (request == b.request_seen.load(std::memory_order_relaxed)) return -1;
  const std::int64_t due_ns = play_request_due_ns(request);
  for (int done = 0; done < frames; done += MIX_CHUNK) {
    const int len = std::min(MIX_CHUNK, frames - done);
    const std::int64_t chunk_start = pass_start == 0 ? 0 : pass_start + frames_to_ns(done, rate);
    const std::int64_t at = request_frame(due_ns, chunk_start, rate);
    if (at < len) return done + static_cast<int>(at);
  }
  return -1;  // it waits for a later pass
}

// The buffers in the places, read once for the pass, with each one's own output.
struct PassVoices {
  PlaybackBuffer* buffers[MIXER_VOICES];
  SoundingVoice* sounds[MIXER_VOICES];
  float* alone[MIXER_VOICES];
  int count = 0;
};

// Adds a note for every place whose buffer is the slot's, while there is room.
void add_slot_notes(const PassVoices& v, PlaybackBuffer* published, NoteEvent note,
                    NoteEvent* notes, int& count) {
  for (int k = 0; k < v.count && count < MAX_PASS_NOTES; ++k) {
    if (!is_slot_buffer(published, v.buffers[k])) continue;
    note.voice = k;
    add_note(notes, count, note);
  }
}

void mix_pass(MixerState& mixer, std::int16_t* out, int frames, std::int64_t pass_start,
              std::span<const FrameStart> frame_starts, float* const* slot_outputs) {
  mixer.passes.fetch_add(1, std::memory_order_seq_cst);
  const int rate = mixer_rate(mixer);

  // The slots are read inside the pass, so a buffer unpublished and detached meanwhile is
  // either seen as null here or waited for by mixer_detach.
  PlaybackBuffer* slots[INSTRUMENT_SLOTS];
  for (int i = 0; i < INSTRUMENT_SLOTS; ++i)
    slots[i] = mixer.slot_buffers[i].load(std::memory_order_seq_cst);
  PassStart starts[MAX_PASS_STARTS];
  int start_count = 0;
  for (const FrameStart& f : frame_starts) {
    if (start_count == MAX_PASS_STARTS) break;
    if (f.slot < 0 || f.slot >= INSTRUMENT_SLOTS || f.frame < 0 || f.frame >= frames) continue;
    add_note(starts, start_count, PassStart{f.frame, f.slot, start_gain(mixer, f.velocity)});
  }
  if (mixer.own.waiting_count != 0 ||
      mixer.timed_starts.taken.load(std::memory_order_relaxed) !=
          mixer.timed_starts.written.load(std::memory_order_relaxed)) {
    take_timed_starts(mixer, pass_start, frames, rate, starts, start_count);
  }

  static constexpr int CHOKING_SLOT = playback_slot(CHOKING_VOICE);
  static constexpr int CHOKED_SLOT = playback_slot(CHOKED_VOICE);
  PlaybackBuffer* const choking = slots[CHOKING_SLOT];
  PlaybackBuffer* const choked = mixer.choke.load(std::memory_order_relaxed) && choking != nullptr
                                     ? slots[CHOKED_SLOT]
                                     : nullptr;
  // Read once, so that the closed hi-hat starts at the frame where it chokes the open one.
  const std::uint64_t choking_request =
      choked != nullptr ? choking->play_request.load(std::memory_order_acquire) : 0;
  const int choke_at =
      choked != nullptr ? request_at(*choking, choking_request, pass_start, frames, rate) : -1;

  // The notes of the pass. At one frame, keys' requests come first (a closed hi-hat's request
  // choking the open one before the open one's own), then the starts in the order they came; a
  // closed hi-hat's start stops the open one at its frame.
  NoteEvent notes[MAX_PASS_NOTES];
  int note_count = 0;
  PassVoices v;
  bool slot_heard[INSTRUMENT_SLOTS] = {};
  for (auto& place : mixer.voices) {
    PlaybackBuffer* b = place.load(std::memory_order_seq_cst);
    if (b == nullptr) continue;
    const int k = v.count++;
    v.buffers[k] = b;
    v.sounds[k] = &b->sound;
    v.alone[k] = nullptr;
    for (int i = 0; slot_outputs != nullptr && i < INSTRUMENT_SLOTS; ++i) {
      if (slot_outputs[i] == nullptr || !is_slot_buffer(slots[i], b)) continue;
      v.alone[k] = slot_outputs[i];
      slot_heard[i] = true;
      break;
    }
    if (choke_at >= 0 && is_slot_buffer(choked, b))
      add_note(notes, note_count, NoteEvent{choke_at, k, 0, true});
    const std::uint64_t request = choked != nullptr && is_slot_buffer(choking, b)
                                      ? choking_request
                                      : b->play_request.load(std::memory_order_acquire);
    if (request == b->request_seen.load(std::memory_order_relaxed)) continue;  // the usual case
    const int at = request_at(*b, request, pass_start, frames, rate);
    if (at < 0) continue;
    add_note(notes, note_count, NoteEvent{at, k, FULL_GAIN, false});
    b->request_seen.store(request, std::memory_order_relaxed);
  }
  // A slot whose buffer is not in a place is silence on its own output.
  for (int i = 0; slot_outputs != nullptr && i < INSTRUMENT_SLOTS; ++i) {
    if (slot_outputs[i] != nullptr && !slot_heard[i]) std::fill_n(slot_outputs[i], frames, 0.0f);
  }
  for (int i = 0; i < start_count; ++i) {
    const PassStart& s = starts[i];
    PlaybackBuffer* const published = slots[s.slot];
    add_slot_notes(v, published, {s.frame, 0, s.gain, false}, notes, note_count);
    if (choked != nullptr && published == choking)
      add_slot_notes(v, choked, {s.frame, 0, 0, true}, notes, note_count);
  }

  play_notes(v.sounds, v.count,
             std::span<const NoteEvent>(notes, static_cast<std::size_t>(note_count)), frames,
             {out, nullptr, nullptr, slot_outputs != nullptr ? v.alone : nullptr});
  mixer.passes.fetch_add(1, std::memory_order_seq_cst);
}

}  // namespace

void mixer_reset_for_new_stream(MixerState& mixer) {
  mixer.own.clock = StreamClock{};
  mixer.own.waiting_count = 0;
  mixer.rate.store(SAMPLE_RATE);
  mixer.timed_starts.taken.store(mixer.timed_starts.written.load());
  for (auto& place : mixer.voices) {
    PlaybackBuffer* b = place.load(std::memory_order_relaxed);
    if (b == nullptr) continue;
    b->request_seen.store(b->play_request.load(std::memory_order_relaxed));
    stop_voice(b->sound);
  }
}

void mixer_restart_clock(MixerState& mixer) {
  mixer.own.clock = StreamClock{};
}

void mix_frames(MixerState& mixer, std::int16_t* out, int frames, std::int64_t pass_ns) {
  mix_frames_at(
      mixer, out, frames,
      pass_ns == 0 ? 0 : advance_clock(mixer.own.clock, pass_ns, frames, mixer_rate(mixer)));
}

void mix_frames_at(MixerState& mixer, std::int16_t* out, int frames, std::int64_t first_frame_ns,
                   std::span<const FrameStart> starts, float* const* slot_outputs) {
  mix_pass(mixer, out, frames, first_frame_ns, starts, slot_outputs);
}

void mix_frames_starting(MixerState& mixer, std::int16_t* out, int frames, std::int64_t pass_ns,
                         std::span<const FrameStart> starts, float* const* slot_outputs) {
  const std::int64_t pass_start =
      pass_ns == 0 ? 0 : advance_clock(mixer.own.clock, pass_ns, frames, mixer_rate(mixer));
  mix_pass(mixer, out, frames, pass_start, starts, slot_outputs);
}

}  // namespace thumpa
