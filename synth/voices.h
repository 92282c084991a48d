// The eight voices of the bank: their VoiceIds, names and order.
#pragma once

#include <array>

#include "synth/types.h"

namespace thumpa {

inline constexpr int VOICE_COUNT = 8;
inline constexpr int VOICE_ID_COUNT = 9;  // VoiceId 7 belongs to no voice

// The order in which the menus list the voices and in which the playback-buffer slots are
// kept: Blipp, Clave, Closed Hi-hat, Open Hi-hat, Kick, Snare, Cowbell, Oscillator.
inline constexpr std::array<VoiceId, VOICE_COUNT> MENU_ORDER = {
    VOICE_BLIPP, VOICE_CLAVE, VOICE_CLOSED_HAT, VOICE_OPEN_HAT,
    VOICE_KICK,  VOICE_SNARE, VOICE_COWBELL,    VOICE_OSCILLATOR};

// Index of a voice's playback-buffer slot (its place in MENU_ORDER); -1 for VoiceId 7 and
// values outside 0..8.
inline constexpr int playback_slot(std::int32_t id) {
  for (int i = 0; i < VOICE_COUNT; ++i) {
    if (MENU_ORDER[i] == id) return i;
  }
  return -1;
}

}  // namespace thumpa
