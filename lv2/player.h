// The plugin's mixer: which voices sound and where, and the sum of them for a stretch of
// frames. Real-time: it never allocates, locks or waits.
#pragma once

#include <cstdint>

#include "lv2/voice_render.h"
#include "synth/voices.h"

namespace thumpa {

struct PlayerVoice {
  const PlaybackValues* take = nullptr;  // owned by the plugin; null plays nothing
  std::uint32_t position = 0;
  bool sounding = false;
};

struct Player {
  PlayerVoice voices[VOICE_ID_COUNT];
};

// Plays the voice from its first sample, cutting off what it was playing.
void player_start(Player& player, VoiceId voice);

// Gives the voice new values and returns the old ones. What was sounding stops, as in the
// program when an editor replaces a voice's playback buffer.
const PlaybackValues* player_replace(Player& player, VoiceId voice, const PlaybackValues* take);

// Stops every voice.
void player_silence(Player& player);

// Writes `frames` frames of every sounding voice summed and clamped to 16 bits, as floats
// (value / 32768), the same on both outputs, and moves each voice on.
void player_mix(Player& player, float* left, float* right, std::uint32_t frames);

}  // namespace thumpa
