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

}  // namespace thumpa
