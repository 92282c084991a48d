#include "lv2/player.h"

#include <algorithm>

namespace thumpa {

void player_start(Player& player, VoiceId voice, std::int32_t gain) {
  PlayerVoice& v = player.voices[voice];
  v.position = 0;
  v.gain = gain;
  v.sounding = v.take != nullptr && !v.take->values.empty();
}

void player_stop(Player& player, VoiceId voice) {
  player.voices[voice].sounding = false;
}

const PlaybackValues* player_replace(Player& player, VoiceId voice, const PlaybackValues* take) {
  PlayerVoice& v = player.voices[voice];
  const PlaybackValues* old = v.take;
  v = PlayerVoice{take, 0, FULL_GAIN, false};
  return old;
}

void player_silence(Player& player) {
  for (PlayerVoice& v : player.voices) v.sounding = false;
}

void player_mix(Player& player, const PlayerOutputs& out, std::uint32_t from,
                std::uint32_t frames) {
  constexpr std::uint32_t CHUNK = 256;
  std::int32_t sum[CHUNK];
  for (std::uint32_t done = 0; done < frames;) {
    const std::uint32_t n = std::min(CHUNK, frames - done);
    const std::uint32_t at = from + done;
    std::fill_n(sum, n, 0);
    for (int id = 0; id < VOICE_ID_COUNT; ++id) {
      PlayerVoice& v = player.voices[id];
      float* alone = out.voices[id] != nullptr ? out.voices[id] + at : nullptr;
      std::uint32_t m = 0;
      if (v.sounding) {
        const std::int16_t* values = v.take->values.data() + v.position;
        m = std::min(n, static_cast<std::uint32_t>(v.take->values.size()) - v.position);
        for (std::uint32_t i = 0; i < m; ++i) {
          const std::int32_t value = scaled_value(values[i], v.gain);
          sum[i] += value;
          if (alone != nullptr) alone[i] = static_cast<float>(value) / 32768.0f;
        }
        v.position += m;
        if (v.position == v.take->values.size()) v.sounding = false;
      }
      if (alone != nullptr) std::fill(alone + m, alone + n, 0.0f);
    }
    for (std::uint32_t i = 0; i < n; ++i) {
      const float value = static_cast<float>(std::clamp(sum[i], -32768, 32767)) / 32768.0f;
      out.left[at + i] = value;
      out.right[at + i] = value;
    }
    done += n;
  }
}

}  // namespace thumpa
