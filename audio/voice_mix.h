// How a sounding voice is played, for every player of the program (the desktop mixer, the
// JACK client's per-voice ports, the plugin): its 16-bit values at the gain of the note that
// started it, added into a 32-bit sum that is clamped to 16 bits once every voice is in, and
// alone on its own output. Real-time: nothing here allocates, locks or waits.
#pragma once

#include <algorithm>
#include <cstdint>

#include "audio/velocity.h"
#include "synth/types.h"

namespace thumpa {

struct SoundingVoice {
  const std::int16_t* samples = nullptr;  // not owned; null when count is 0
  std::uint32_t count = 0;
  std::uint32_t position = 0;
  std::int32_t gain = FULL_GAIN;  // of the note that started it (see audio/velocity.h)
  bool sounding = false;
};

// A closed hi-hat that starts while the choke is on stops the open one at the same frame.
inline constexpr VoiceId CHOKING_VOICE = VOICE_CLOSED_HAT;
inline constexpr VoiceId CHOKED_VOICE = VOICE_OPEN_HAT;

// Plays the voice from its first sample at the gain, cutting off what it was playing. A voice
// of no samples stays silent.
void start_voice(SoundingVoice& voice, std::int32_t gain);

// Stops the voice where it is (a choke, or the player falling silent).
void stop_voice(SoundingVoice& voice);

// A sum of voices as the 16-bit value it plays as.
inline std::int16_t clamped_sum(std::int32_t sum) {
  return static_cast<std::int16_t>(std::clamp(sum, -32768, 32767));
}

// A 16-bit value as a float output carries it.
inline float float_sample(std::int32_t value) {
  return static_cast<float>(value) / 32768.0f;
}

// Adds the voice's next `frames` values, at its gain, into sum[0, frames) and moves it on; it
// stops at its end. When `alone` is not null, writes the same values there as floats
// (value / 32768), and silence where the voice does not sound. Inline: the mixers call it for
// every voice of every chunk.
inline void add_voice(SoundingVoice& voice, std::int32_t* sum, float* alone, int frames) {
  if (frames <= 0) return;
  int taken = 0;
  if (voice.sounding) {
    const std::uint32_t left = voice.count - voice.position;
    taken = left < static_cast<std::uint32_t>(frames) ? static_cast<int>(left) : frames;
    const std::int16_t* values = voice.samples + voice.position;
    // Kept apart from the sum, which could otherwise share memory with the gain as the
    // compiler sees it, so the loops stay free of reloads.
    const std::int32_t gain = voice.gain;
    if (gain == FULL_GAIN) {  // the voice's own values: no product needed
      for (int i = 0; i < taken; ++i) sum[i] += values[i];
      if (alone != nullptr) {
        for (int i = 0; i < taken; ++i) alone[i] = float_sample(values[i]);
      }
    } else if (alone == nullptr) {
      for (int i = 0; i < taken; ++i) sum[i] += scaled_value(values[i], gain);
    } else {
      for (int i = 0; i < taken; ++i) {
        const std::int32_t value = scaled_value(values[i], gain);
        sum[i] += value;
        alone[i] = float_sample(value);
      }
    }
    voice.position += static_cast<std::uint32_t>(taken);
    if (voice.position >= voice.count) voice.sounding = false;
  }
  if (alone != nullptr) std::fill(alone + taken, alone + frames, 0.0f);
}

}  // namespace thumpa
