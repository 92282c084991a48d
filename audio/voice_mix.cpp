#include "audio/voice_mix.h"

namespace thumpa {

void start_voice(SoundingVoice& voice, std::int32_t gain) {
  voice.position = 0;
  voice.gain = gain;
  voice.sounding = voice.samples != nullptr && voice.count > 0;
}

void stop_voice(SoundingVoice& voice) {
  voice.sounding = false;
}

void add_voice(SoundingVoice& voice, std::int32_t* sum, float* alone, int frames) {
  if (frames <= 0) return;
  int taken = 0;
  if (voice.sounding) {
    const std::uint32_t left = voice.count - voice.position;
    taken = left < static_cast<std::uint32_t>(frames) ? static_cast<int>(left) : frames;
    const std::int16_t* values = voice.samples + voice.position;
    if (voice.gain == FULL_GAIN) {  // the voice's own values: no product needed
      for (int i = 0; i < taken; ++i) sum[i] += values[i];
      if (alone != nullptr) {
        for (int i = 0; i < taken; ++i) alone[i] = float_sample(values[i]);
      }
    } else {
      for (int i = 0; i < taken; ++i) {
        const std::int32_t value = scaled_value(values[i], voice.gain);
        sum[i] += value;
        if (alone != nullptr) alone[i] = float_sample(value);
      }
    }
    voice.position += static_cast<std::uint32_t>(taken);
    if (voice.position >= voice.count) voice.sounding = false;
  }
  if (alone != nullptr) std::fill(alone + taken, alone + frames, 0.0f);
}

}  // namespace thumpa
