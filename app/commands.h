// The main window's commands: their ids and the one command table every menu item and key goes
// through. Each voice's play, edit and show commands and its digit key are in the voice table.
#pragma once

#include <cstdint>

#include "synth/types.h"
#include "synth/voices.h"

namespace thumpa {

enum CommandId : int {
  CMD_OPEN_SETTINGS = 101,
  CMD_SAVE_SETTINGS = 102,
  CMD_SAVE_SETTINGS_AS = 103,
  CMD_WRITE_WAV_AS = 104,
  CMD_WRITE_ALL = 105,
  CMD_EXIT = 106,
  CMD_ABOUT = 303,
  CMD_ZOOM_IN = 40033,
  CMD_ZOOM_OUT = 40034,
  CMD_PAN_LEFT = 40035,
  CMD_PAN_RIGHT = 40036,
  CMD_RESET = 40052,
  CMD_PLAY_SHOWN = 40053,
  CMD_EDIT_SHOWN = 40054,
  CMD_START_METRONOME = 40055,
  CMD_STOP_METRONOME = 40056,
};

// The play command of the Closed Hi-hat, which every metronome tick sends.
inline constexpr int CMD_PLAY_CLOSED_HAT = 602;

enum class Action {
  unknown,  // not in the table: nothing happens
  open_settings,
  nothing,  // "&Save Settings": greyed, does nothing
  save_settings_as,
  write_wav_as,
  write_all,
  exit,
  about,
  play_voice,
  edit_voice,
  show_voice,
  zoom_in,
  zoom_out,
  pan_left,
  pan_right,
  reset,
  play_shown,
  edit_shown,
  start_metronome,
  stop_metronome,
};

struct Command {
  Action action = Action::unknown;
  VoiceId voice = VOICE_BLIPP;  // for play_voice, edit_voice and show_voice
};

// What a command id does. Only the low 16 bits of a command word carry the id, so callers
// pass the id itself.
Command find_command(int id);

}  // namespace thumpa
