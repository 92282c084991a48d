#include "audio/playback_rate.h"

#include <algorithm>
#include <new>
#include <vector>

#include "audio/pcm16.h"

namespace thumpa {

PlaybackBuffer* allocate_playback_buffer_at(const VoiceBuffer& voice, int rate) {
  if (rate == SAMPLE_RATE || voice.empty() || voice.count == 0)
    return allocate_playback_buffer(voice);
  if (rate <= 0) return nullptr;
  std::vector<std::int16_t> pcm;
  try {
    pcm = resampled_pcm16(voice, rate);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  if (pcm.empty()) return nullptr;
  auto* buffer = new (std::nothrow) PlaybackBuffer;
  if (buffer == nullptr) return nullptr;
  auto* values =
      static_cast<std::int16_t*>(playback_memory.allocate(pcm.size() * sizeof(std::int16_t)));
  if (values == nullptr) {
    delete buffer;
    return nullptr;
  }
  std::copy(pcm.begin(), pcm.end(), values);
  buffer->sound.samples = values;
  buffer->sound.count = static_cast<std::uint32_t>(pcm.size());
  return buffer;
}

}  // namespace thumpa
