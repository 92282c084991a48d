#include "lv2/player.h"

#include <algorithm>

namespace thumpa {

void player_start(Player& player, VoiceId voice) {
  PlayerVoice& v = player.voices[voice];
  v.position = 0;
  v.sounding = v.take != nullptr && !v.take->values.empty();
}

const PlaybackValues* player_replace(Player& player, VoiceId voice, const PlaybackValues* take) {
  PlayerVoice& v = player.voices[voice];
  const PlaybackValues* old = v.take;
  v = PlayerVoice{take, 0, false};
  return old;
}

void player_silence(Player& player) {
  for (PlayerVoice& v : player.voices) v.sounding = false;
}

void player_mix(Player& player, float* left, float* right, std::uint32_t frames) {
  constexpr std::uint32_t CHUNK = 256;
  std::int32_t sum[CHUNK];
  for (std::uint32_t done = 0; done < frames;) {
    const std::uint32_t n = std::min(CHUNK, frames - done);
    std::fill_n(sum, n, 0);
    for (PlayerVoice& v : player.voices) {
      if (!v.sounding) continue;
      const std::int16_t* values = v.take->values.data() + v.position;
      const auto left_over = static_cast<std::uint32_t>(v.take->values.size()) - v.position;
      const std::uint32_t m = std::min(n, left_over);
      for (std::uint32_t i = 0; i < m; ++i) sum[i] += values[i];
      v.position += m;
      if (v.position == v.take->values.size()) v.sounding = false;
    }
    for (std::uint32_t i = 0; i < n; ++i) {
      const float value = static_cast<float>(std::clamp(sum[i], -32768, 32767)) / 32768.0f;
      left[done + i] = value;
      right[done + i] = value;
    }
    done += n;
  }
}

}  // namespace thumpa
