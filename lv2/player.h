// The plugin's mixer: which voices sound, where and how loud, the sum of them for a stretch of
// frames, and each voice alone on its own output. Real-time: it never allocates, locks or
// waits.
#pragma once

#include <cstdint>

#include "audio/velocity.h"
#include "lv2/voice_render.h"
#include "synth/voices.h"

namespace thumpa {

struct PlayerVoice {
  const PlaybackValues* take = nullptr;  // owned by the plugin; null plays nothing
  std::uint32_t position = 0;
  std::int32_t gain = FULL_GAIN;  // of the note that started it (see audio/velocity.h)
  bool sounding = false;
};

struct Player {
  PlayerVoice voices[VOICE_ID_COUNT];
};

// Where player_mix writes: the mix on both sides, and each voice alone on its own output
// (null for an output nobody connected), all as floats (value / 32768).
struct PlayerOutputs {
  float* left;
  float* right;
  float* const* voices;  // VOICE_ID_COUNT places by VoiceId
};

// Plays the voice from its first sample at the gain, cutting off what it was playing.
void player_start(Player& player, VoiceId voice, std::int32_t gain);

// Stops the voice where it is.
void player_stop(Player& player, VoiceId voice);

// Gives the voice new values and returns the old ones. What was sounding stops, as in the
// program when an editor replaces a voice's playback buffer.
const PlaybackValues* player_replace(Player& player, VoiceId voice, const PlaybackValues* take);

// Stops every voice.
void player_silence(Player& player);

// Writes `frames` frames from offset `from` of each output: every sounding voice at its gain,
// summed and clamped to 16 bits; and moves each voice on.
void player_mix(Player& player, const PlayerOutputs& out, std::uint32_t from, std::uint32_t frames);

}  // namespace thumpa
