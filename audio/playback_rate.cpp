#include "audio/playback_rate.h"

#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

namespace thumpa {

namespace {

// The 16-bit samples of the voice at `rate`, from a band-limited resampler; empty on failure.
std::vector<std::int16_t> resampled(const VoiceBuffer& voice, int rate) {
  const double ratio = static_cast<double>(rate) / SAMPLE_RATE;
  std::vector<float> in(voice.count);
  for (std::uint32_t i = 0; i < voice.count; ++i) {
    in[i] = static_cast<float>(voice.samples[i] / 2147483648.0);
  }
  std::vector<float> out(static_cast<std::size_t>(std::ceil(voice.count * ratio)) + 1);
  SRC_DATA data{};
  data.data_in = in.data();
  data.data_out = out.data();
  data.input_frames = static_cast<long>(in.size());
  data.output_frames = static_cast<long>(out.size());
  data.src_ratio = ratio;
  if (src_simple(&data, SRC_SINC_BEST_QUALITY, 1) != 0) return {};
  std::vector<std::int16_t> pcm(static_cast<std::size_t>(data.output_frames_gen));
  for (std::size_t i = 0; i < pcm.size(); ++i) {
    // The resampler may overshoot full scale near a steep edge: clamped, not wrapped.
    const long v = std::lround(static_cast<double>(out[i]) * 32768.0);
    pcm[i] = static_cast<std::int16_t>(std::clamp<long>(v, -32768, 32767));
  }
  return pcm;
}

}  // namespace

PlaybackBuffer* allocate_playback_buffer_at(const VoiceBuffer& voice, int rate) {
  if (rate == SAMPLE_RATE || voice.empty() || voice.count == 0)
    return allocate_playback_buffer(voice);
  if (rate <= 0) return nullptr;
  std::vector<std::int16_t> pcm;
  try {
    pcm = resampled(voice, rate);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  if (pcm.empty()) return nullptr;
  auto* buffer = new (std::nothrow) PlaybackBuffer;
  if (buffer == nullptr) return nullptr;
  buffer->samples =
      static_cast<std::int16_t*>(playback_memory.allocate(pcm.size() * sizeof(std::int16_t)));
  if (buffer->samples == nullptr) {
    delete buffer;
    return nullptr;
  }
  std::copy(pcm.begin(), pcm.end(), buffer->samples);
  buffer->count = static_cast<std::uint32_t>(pcm.size());
  return buffer;
}

}  // namespace thumpa
