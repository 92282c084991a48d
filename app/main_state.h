// The main window's state: which voice is shown and edited, and how the view is zoomed and
// panned. One instance for the whole run; only the main thread touches it.
#pragma once

#include <cstdint>

#include "app/waveform.h"
#include "synth/types.h"

namespace thumpa {

struct MainState {
  // The voice drawn, played by Space, edited by Ctrl+Space and written by "&Write Wav As...":
  // one of the bank's own VoiceBuffer objects, compared by identity; null until start-up ends.
  const VoiceBuffer* shown_voice = nullptr;
  // The voice the next editor works on; set by the edit commands.
  VoiceId current_voice = VOICE_BLIPP;
  std::int32_t zoom = INITIAL_ZOOM;
  std::int32_t view_start = 0;  // never negative
  // Width of the client area, stored by each paint of a voice; read by the pan commands.
  std::uint32_t client_width = 0;
};

extern MainState main_state;

}  // namespace thumpa
