#include "lv2/player.h"

namespace thumpa {

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

void player_play(Player& player, const PlayerOutputs& out, std::uint32_t from, std::uint32_t frames,
                 std::span<const NoteEvent> notes) {
  SoundingVoice* voices[VOICE_ID_COUNT];
  float* alone[VOICE_ID_COUNT];
  for (int id = 0; id < VOICE_ID_COUNT; ++id) {
    voices[id] = &player.voices[id];
    alone[id] = out.voices[id] != nullptr ? out.voices[id] + from : nullptr;
  }
  play_notes(voices, VOICE_ID_COUNT, notes, static_cast<int>(frames),
             {nullptr, out.left + from, out.right + from, alone});
}

}  // namespace thumpa
