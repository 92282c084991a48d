#include "audio/mixer.h"

#include <algorithm>
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

bool mixer_attach(MixerState& mixer, PlaybackBuffer* buffer) {
  for (auto& place : mixer.voices) {
    if (place.load(std::memory_order_relaxed) == nullptr) {
      place.store(buffer, std::memory_order_seq_cst);
      return true;
    }
  }
  return false;
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

void request_play(PlaybackBuffer& buffer) {
  buffer.play_requests.fetch_add(1, std::memory_order_release);
}

namespace {

// Takes up a play request made since the last pass: the buffer restarts from its first sample.
bool take_request(PlaybackBuffer& b) {
  const std::uint32_t requests = b.play_requests.load(std::memory_order_acquire);
  if (requests != b.requests_seen) {
    b.requests_seen = requests;
    b.position = 0;
    b.sounding = true;
  }
  if (b.position >= b.count) b.sounding = false;
  return b.sounding;
}

}  // namespace

void mix_frames(MixerState& mixer, std::int16_t* out, int frames) {
  mixer.passes.fetch_add(1, std::memory_order_seq_cst);

  PlaybackBuffer* sounding[MIXER_VOICES];
  int n = 0;
  for (auto& place : mixer.voices) {
    PlaybackBuffer* b = place.load(std::memory_order_seq_cst);
    if (b != nullptr && take_request(*b)) sounding[n++] = b;
  }

  // Summed in 32 bits a chunk at a time: 64 full-scale voices still fit.
  constexpr int CHUNK = PERIOD_FRAMES;
  std::int32_t sum[CHUNK];
  for (int done = 0; done < frames;) {
    const int len = std::min(CHUNK, frames - done);
    std::fill_n(sum, len, 0);
    for (int v = 0; v < n;) {
      PlaybackBuffer& b = *sounding[v];
      const std::uint32_t left = b.count - b.position;
      const int take = left < static_cast<std::uint32_t>(len) ? static_cast<int>(left) : len;
      const std::int16_t* src = b.samples + b.position;
      for (int i = 0; i < take; ++i) sum[i] += src[i];
      b.position += static_cast<std::uint32_t>(take);
      if (b.position >= b.count) {
        b.sounding = false;
        sounding[v] = sounding[--n];
      } else {
        ++v;
      }
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
