#include "app/commands.h"

namespace thumpa {

Command find_command(int id) {
  switch (id) {
    case CMD_OPEN_SETTINGS:
      return {Action::open_settings};
    case CMD_SAVE_SETTINGS:
      return {Action::nothing};
    case CMD_SAVE_SETTINGS_AS:
      return {Action::save_settings_as};
    case CMD_WRITE_WAV_AS:
      return {Action::write_wav_as};
    case CMD_WRITE_ALL:
      return {Action::write_all};
    case CMD_EXIT:
      return {Action::exit};
    case CMD_ABOUT:
      return {Action::about};
    case CMD_ZOOM_IN:
      return {Action::zoom_in};
    case CMD_ZOOM_OUT:
      return {Action::zoom_out};
    case CMD_PAN_LEFT:
      return {Action::pan_left};
    case CMD_PAN_RIGHT:
      return {Action::pan_right};
    case CMD_RESET:
      return {Action::reset};
    case CMD_PLAY_SHOWN:
      return {Action::play_shown};
    case CMD_EDIT_SHOWN:
      return {Action::edit_shown};
    case CMD_START_METRONOME:
      return {Action::start_metronome};
    case CMD_STOP_METRONOME:
      return {Action::stop_metronome};
    default:
      break;
  }
  for (VoiceId voice : MENU_ORDER) {
    const VoiceFacts& v = voice_facts(voice);
    if (id == v.play_command) return {Action::play_voice, voice};
    if (id == v.edit_command) return {Action::edit_voice, voice};
    if (id == v.show_command) return {Action::show_voice, voice};
  }
  return {};
}

}  // namespace thumpa
