#include "lv2/player.h"

namespace thumpa {

void player_start(Player& player, VoiceId voice, std::int32_t gain) {
  start_voice(player.voices[voice], gain);
}

void player_stop(Player& player, VoiceId voice) {
  stop_voice(player.voices[voice]);
}

const PlaybackValues* player_replace(Player& player, VoiceId voice, const PlaybackValues* take) {
  const PlaybackValues* old = player.takes[voice];
  player.takes[voice] = take;
  SoundingVoice& v = player.voices[voice];
  v = SoundingVoice{};
  if (take != nullptr && !take->values.empty()) {
    v.samples = take->values.data();
    v.count = static_cast<std::uint32_t>(take->values.size());
  }
  return old;
}

void player_silence(Player& player) {
  for (SoundingVoice& v : player.voices) stop_voice(v);
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
      float* alone = out.voices[id] != nullptr ? out.voices[id] + at : nullptr;
      add_voice(player.voices[id], sum, alone, static_cast<int>(n));
    }
    for (std::uint32_t i = 0; i < n; ++i) {
      const float value = float_sample(clamped_sum(sum[i]));
      out.left[at + i] = value;
      out.right[at + i] = value;
    }
    done += n;
  }
}

}  // namespace thumpa
