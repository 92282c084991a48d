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

void mixer_detach(MixerState& mixer, PlaybackBuffer* buffer) {
  if (buffer == nullptr) return;
  bool withdrawn = false;
  for (auto& place : mixer.voices) {
    if (place.load(std::memory_order_relaxed) == buffer) {
      place.store(nullptr, std::memory_order_seq_cst);
      withdrawn = true;
    }
  }
  if (!withdrawn) return;
  // A pass that started before the withdrawal may still hold the pointer: wait for it to end.
  const std::uint32_t seen = mixer.passes.load(std::memory_order_seq_cst);
  if (seen % 2 == 0) return;
  while (mixer.passes.load(std::memory_order_seq_cst) == seen) std::this_thread::yield();
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
std::int64_t frames_to_ns(std::int64_t frames) {
  return frames / SAMPLE_RATE * NS_PER_SECOND + frames % SAMPLE_RATE * NS_PER_SECOND / SAMPLE_RATE;
}

// Where the first frame of a pass that started at pass_ns falls on the steady clock.
std::int64_t advance_clock(StreamClock& c, std::int64_t pass_ns, int frames) {
  const std::int64_t observed = pass_ns - frames_to_ns(c.frames);
  const std::int64_t error = observed - c.origin_ns;
  if (!c.valid || error > CLOCK_RESET_NS || error < -CLOCK_RESET_NS) {
    c.origin_ns = observed;
    c.valid = true;
  } else {
    c.origin_ns += error / CLOCK_SMOOTHING;
  }
  const std::int64_t start = c.origin_ns + frames_to_ns(c.frames);
  c.frames += frames;
  return start;
}

// The frame, counted from a chunk that starts at chunk_ns, at which a request due at due_ns
// starts; 0 when either time is unknown or the request is due already.
std::int64_t request_frame(std::int64_t due_ns, std::int64_t chunk_ns) {
  if (due_ns == 0 || chunk_ns == 0 || due_ns <= chunk_ns) return 0;
  const std::int64_t wait = std::min(due_ns - chunk_ns, NS_PER_SECOND);  // keeps the product small
  return wait * SAMPLE_RATE / NS_PER_SECOND;
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

}  // namespace

void mix_frames(MixerState& mixer, std::int16_t* out, int frames, std::int64_t pass_ns) {
  mix_frames_at(mixer, out, frames, pass_ns == 0 ? 0 : advance_clock(mixer.clock, pass_ns, frames));
}

void mix_frames_at(MixerState& mixer, std::int16_t* out, int frames, std::int64_t pass_start) {
  mixer.passes.fetch_add(1, std::memory_order_seq_cst);

  // Summed in 32 bits a chunk at a time: 64 full-scale voices still fit.
  constexpr int CHUNK = PERIOD_FRAMES;
  std::int32_t sum[CHUNK];
  for (int done = 0; done < frames;) {
    const int len = std::min(CHUNK, frames - done);
    const std::int64_t chunk_start = pass_start == 0 ? 0 : pass_start + frames_to_ns(done);
    std::fill_n(sum, len, 0);
    for (auto& place : mixer.voices) {
      PlaybackBuffer* b = place.load(std::memory_order_seq_cst);
      if (b == nullptr) continue;
      int from = 0;
      const std::uint64_t request = b->play_request.load(std::memory_order_acquire);
      if (request != b->request_seen) {
        const std::int64_t at = request_frame(play_request_due_ns(request), chunk_start);
        if (at < len) {  // otherwise the request waits for a later chunk
          from = static_cast<int>(at);
          add_sound(*b, sum, 0, from);  // the old sound up to the restart
          b->request_seen = request;
          b->position = 0;
          b->sounding = b->count > 0;
        }
      }
      add_sound(*b, sum, from, len);
    }
    std::int16_t* dst = out + std::ptrdiff_t{done} * OUTPUT_CHANNELS;
    for (int i = 0; i < len; ++i) {
      const auto s = static_cast<std::int16_t>(std::clamp(sum[i], -32768, 32767));
      dst[2 * i] = s;
      dst[2 * i + 1] = s;
    }
    done += len;
  }

  mixer.passes.fetch_add(1, std::memory_order_seq_cst);
}

}  // namespace thumpa
