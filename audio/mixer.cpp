#include "audio/mixer.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>

namespace thumpa {

PlaybackMemory playback_memory{std::malloc};

PlaybackBuffer* allocate_playback_buffer(const VoiceBuffer& voice) {
  const std::uint32_t count = voice.samples ? voice.count : 0;
  auto* buffer = new (std::nothrow) PlaybackBuffer;
  if (buffer == nullptr) return nullptr;
  if (count > 0) {
    buffer->samples = static_cast<std::int16_t*>(
        playback_memory.allocate(std::size_t{count} * sizeof(std::int16_t)));
    if (buffer->samples == nullptr) {
      delete buffer;
      return nullptr;
    }
    for (std::uint32_t i = 0; i < count; ++i) buffer->samples[i] = pcm16_from_q31(voice.samples[i]);
  }
  buffer->count = count;
  return buffer;
}

void free_playback_buffer(PlaybackBuffer* buffer) {
  if (buffer == nullptr) return;
  std::free(buffer->samples);
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
  if (attached == nullptr || !withdraw(mixer, attached, replacement)) return false;
  // A pass only compares the slots' pointers with its places', so one that still reads the old
  // pointer from a slot starts nothing with it.
  for (auto& slot : mixer.slot_buffers) {
    if (slot.load(std::memory_order_relaxed) == attached)
      slot.store(replacement, std::memory_order_seq_cst);
  }
  wait_for_running_pass(mixer);
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

}  // namespace

void request_play(PlaybackBuffer& buffer, std::int64_t due_ns) {
  // Only the main thread writes the word, so reading it back needs no ordering.
  const std::uint64_t previous = buffer.play_request.load(std::memory_order_relaxed);
  buffer.play_request.store(play_request_word(due_ns, previous), std::memory_order_release);
}

namespace {

constexpr std::int64_t NS_PER_SECOND = 1'000'000'000;
// A pass that starts this far from where the clock expects it restarts the estimate: the
// device has just started, or the stream stalled.
constexpr std::int64_t CLOCK_RESET_NS = 20'000'000;
// Each pass moves the estimate this fraction of the way toward its own start time, which
// averages out the jitter of the device's thread and follows the device's clock drift.
constexpr std::int64_t CLOCK_SMOOTHING = 16;

// Frames to nanoseconds without overflow, however long the stream has run.
std::int64_t frames_to_ns(std::int64_t frames, int rate) {
  return frames / rate * NS_PER_SECOND + frames % rate * NS_PER_SECOND / rate;
}

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

// Adds frames [from, to) of the buffer's sound into sum and moves the buffer on; it stops at its
// end.
void add_sound(PlaybackBuffer& b, std::int32_t* sum, int from, int to) {
  if (!b.sounding || from >= to) return;
  const std::uint32_t left = b.count - b.position;
  const int take =
      left < static_cast<std::uint32_t>(to - from) ? static_cast<int>(left) : to - from;
  const std::int16_t* src = b.samples + b.position;
  for (int i = 0; i < take; ++i) sum[from + i] += src[i];
  b.position += static_cast<std::uint32_t>(take);
  if (b.position >= b.count) b.sounding = false;
}

// A start of this pass with the buffer its slot published when the pass began.
struct PassStart {
  int frame;
  PlaybackBuffer* buffer;
};

// Most starts one pass takes; more in one period than any player or sequencer sends.
constexpr int MAX_PASS_STARTS = 128;

// Restarts the buffer at frame `at` of the chunk, after adding its old sound from `from`.
void restart_at(PlaybackBuffer& b, std::int32_t* sum, int from, int at) {
  add_sound(b, sum, from, at);
  b.position = 0;
  b.sounding = b.count > 0;
}

// Takes from the input thread's queue the timed starts due before the end of a pass of `frames`
// whose first frame sounds at pass_start (0: unknown, every start is due now), as starts by
// frame appended to `starts`.
int take_timed_starts(MixerState& mixer, std::int64_t pass_start, int frames, int rate,
                      PassStart* starts, int count) {
  TimedStartQueue& q = mixer.timed_starts;
  std::uint32_t taken = q.taken.load(std::memory_order_relaxed);
  const std::uint32_t written = q.written.load(std::memory_order_acquire);
  for (; taken != written && count < MAX_PASS_STARTS; ++taken) {
    const TimedStart& t = q.entries[taken % TIMED_START_CAPACITY];
    const std::int64_t frame = request_frame(t.due_ns, pass_start, rate);
    if (frame >= frames) break;  // due in a later pass; so are the ones behind it
    if (t.slot < 0 || t.slot >= INSTRUMENT_SLOTS) continue;
    PassStart s{static_cast<int>(frame),
                mixer.slot_buffers[t.slot].load(std::memory_order_seq_cst)};
    // Kept in order of frame: a start queued late may be due before one taken already.
    int at = count++;
    for (; at > 0 && starts[at - 1].frame > s.frame; --at) starts[at] = starts[at - 1];
    starts[at] = s;
  }
  q.taken.store(taken, std::memory_order_release);
  return count;
}

void mix_pass(MixerState& mixer, std::int16_t* out, int frames, std::int64_t pass_start,
              std::span<const FrameStart> frame_starts) {
  mixer.passes.fetch_add(1, std::memory_order_seq_cst);
  const int rate = mixer_rate(mixer);

  // The slots are read inside the pass, so a buffer unpublished and detached meanwhile is
  // either seen as null here or waited for by mixer_detach.
  PassStart starts[MAX_PASS_STARTS];
  int start_count = 0;
  for (const FrameStart& f : frame_starts) {
    if (start_count == MAX_PASS_STARTS) break;
    if (f.slot < 0 || f.slot >= INSTRUMENT_SLOTS || f.frame < 0 || f.frame >= frames) continue;
    starts[start_count++] = {f.frame, mixer.slot_buffers[f.slot].load(std::memory_order_seq_cst)};
  }
  if (mixer.timed_starts.taken.load(std::memory_order_relaxed) !=
      mixer.timed_starts.written.load(std::memory_order_relaxed)) {
    start_count = take_timed_starts(mixer, pass_start, frames, rate, starts, start_count);
  }

  // Summed in 32 bits a chunk at a time: 64 full-scale voices still fit.
  constexpr int CHUNK = PERIOD_FRAMES;
  std::int32_t sum[CHUNK];
  int next_start = 0;  // the first start not in an earlier chunk
  for (int done = 0; done < frames;) {
    const int len = std::min(CHUNK, frames - done);
    const std::int64_t chunk_start = pass_start == 0 ? 0 : pass_start + frames_to_ns(done, rate);
    int chunk_starts_end = next_start;
    while (chunk_starts_end < start_count && starts[chunk_starts_end].frame < done + len) {
      ++chunk_starts_end;
    }
    std::fill_n(sum, len, 0);
    for (auto& place : mixer.voices) {
      PlaybackBuffer* b = place.load(std::memory_order_seq_cst);
      if (b == nullptr) continue;
      int from = 0;
      const std::uint64_t request = b->play_request.load(std::memory_order_acquire);
      int request_at = -1;  // the request's frame in this chunk; -1: none here
      if (request != b->request_seen) {
        const std::int64_t at = request_frame(play_request_due_ns(request), chunk_start, rate);
        if (at < len) request_at = static_cast<int>(at);  // otherwise it waits for a later chunk
      }
      // The restarts of this chunk in order of frame: the instrument's, and the request's.
      for (int i = next_start; i < chunk_starts_end; ++i) {
        if (starts[i].buffer != b) continue;
        const int at = starts[i].frame - done;
        if (request_at >= 0 && request_at <= at) {
          restart_at(*b, sum, from, request_at);
          b->request_seen = request;
          from = request_at;
          request_at = -1;
        }
        restart_at(*b, sum, from, at);
        from = at;
      }
      if (request_at >= 0) {
        restart_at(*b, sum, from, request_at);
        b->request_seen = request;
        from = request_at;
      }
      add_sound(*b, sum, from, len);
    }
    std::int16_t* dst = out + std::ptrdiff_t{done} * OUTPUT_CHANNELS;
    for (int i = 0; i < len; ++i) {
      const auto s = static_cast<std::int16_t>(std::clamp(sum[i], -32768, 32767));
      dst[2 * i] = s;
      dst[2 * i + 1] = s;
    }
    next_start = chunk_starts_end;
    done += len;
  }

  mixer.passes.fetch_add(1, std::memory_order_seq_cst);
}

}  // namespace

void mix_frames(MixerState& mixer, std::int16_t* out, int frames, std::int64_t pass_ns) {
  mix_frames_at(mixer, out, frames,
                pass_ns == 0 ? 0 : advance_clock(mixer.clock, pass_ns, frames, mixer_rate(mixer)));
}

void mix_frames_at(MixerState& mixer, std::int16_t* out, int frames, std::int64_t pass_start) {
  mix_pass(mixer, out, frames, pass_start, {});
}

void mix_frames_starting(MixerState& mixer, std::int16_t* out, int frames, std::int64_t pass_ns,
                         std::span<const FrameStart> starts) {
  const std::int64_t pass_start =
      pass_ns == 0 ? 0 : advance_clock(mixer.clock, pass_ns, frames, mixer_rate(mixer));
  mix_pass(mixer, out, frames, pass_start, starts);
}

}  // namespace thumpa
