// The plugin's voices on the program's one way of playing voices (audio/voice_mix.h): which
// take each voice plays, and the sum of them for a stretch of frames with each voice alone on
// its own output. Real-time: it never allocates, locks or waits.
#pragma once

#include <cstdint>
#include <span>

#include "audio/voice_mix.h"
#include "lv2/voice_render.h"
#include "synth/voices.h"

namespace thumpa {

struct Player {
  SoundingVoice voices[VOICE_ID_COUNT];              // playing the takes' values
  const PlaybackValues* takes[VOICE_ID_COUNT] = {};  // owned by the plugin; null plays nothing
};

// Where player_mix writes: the mix on both sides, and each voice alone on its own output
// (null for an output nobody connected), all as floats (value / 32768).
struct PlayerOutputs {
  float* left;
  float* right;
  float* const* voices;  // VOICE_ID_COUNT places by VoiceId
};

// Gives the voice new values and returns the old ones. What was sounding stops, as in the
// program when an editor replaces a voice's playback buffer.
const PlaybackValues* player_replace(Player& player, VoiceId voice, const PlaybackValues* take);

// Stops every voice.
void player_silence(Player& player);

// Writes `frames` frames from offset `from` of each output with the notes (their frames counted
// from `from`, their voices by VoiceId): every sounding voice at its gain, summed and clamped
// to 16 bits; and moves each voice on.
void player_play(Player& player, const PlayerOutputs& out, std::uint32_t from, std::uint32_t frames,
                 std::span<const NoteEvent> notes);

}  // namespace thumpa
