#include "app/command_dispatch.h"

#include "app/about_box.h"
#include "app/command_sender.h"
#include "app/commands.h"
#include "app/file_commands.h"
#include "app/main_state.h"
#include "app/main_window.h"
#include "app/waveform.h"
#include "audio/metronome.h"
#include "audio/sound_device.h"
#include "editors/editors.h"
#include "synth/messages.h"
#include "synth/voice_bank.h"

namespace thumpa {

MainState main_state;

namespace {

void play(VoiceId id, std::int64_t due_ns = 0) {
  const int slot = playback_slot(id);
  if (slot >= 0) play_voice(playback_buffer[slot], due_ns);
}

void edit(VoiceId id) {
  main_state.current_voice = id;
  run_voice_editor(main_window, voice_bank, id, send_command);
}

void show(VoiceId id) {
  const VoiceBuffer* voice = &voice_bank.voices[id];
  // Showing the voice already shown keeps the panned position.
  if (voice != main_state.shown_voice) main_state.view_start = 0;
  main_state.shown_voice = voice;
  repaint_main_window();
}

void start_ticking() {
  // Each tick's sound is due at its own deadline plus the play offset, however late this
  // thread handles it; the tick gives up waiting for us once the metronome is being stopped.
  const bool started = start_metronome([](const MetronomeTick& tick) {
    send_timed_command(CMD_PLAY_CLOSED_HAT, metronome_play_due_ns(tick), tick.stopping);
  });
  if (!started) show_message("Timer error!", "", MessageIcon::error);
}

}  // namespace

bool shown_voice_id(VoiceId& id) {
  for (const VoiceRow& row : VOICE_TABLE) {
    if (&voice_bank.voices[row.id] == main_state.shown_voice) {
      id = row.id;
      return true;
    }
  }
  return false;
}

void run_command(int id, std::int64_t due_ns) {
  const Command command = find_command(id);
  switch (command.action) {
    case Action::unknown:
    case Action::nothing:
      return;
    case Action::open_settings:
      if (open_settings(main_window, voice_bank)) repaint_main_window();
      return;
    case Action::save_settings_as:
      save_settings_as(main_window, voice_bank.params);
      return;
    case Action::write_wav_as:
      write_wav_as(main_window, main_state.shown_voice);
      return;
    case Action::write_all:
      write_all(voice_bank);
      return;
    case Action::exit:
      if (main_window != nullptr) main_window->close();
      return;
    case Action::about:
      run_about_box(main_window);
      return;
    case Action::play_voice:
      play(command.voice, due_ns);
      return;
    case Action::edit_voice:
      edit(command.voice);
      return;
    case Action::show_voice:
      show(command.voice);
      return;
    case Action::zoom_in:
      main_state.zoom = zoomed_in(main_state.zoom);
      break;
    case Action::zoom_out:
      main_state.zoom = zoomed_out(main_state.zoom);
      break;
    case Action::pan_left:
      main_state.view_start =
          panned_left(main_state.view_start, main_state.client_width, main_state.zoom);
      break;
    case Action::pan_right:
      if (main_state.shown_voice != nullptr) {
        main_state.view_start = panned_right(main_state.view_start, main_state.shown_voice->count,
                                             main_state.client_width, main_state.zoom);
      }
      break;
    case Action::reset:
      reset_voice_bank(voice_bank);
      break;
    case Action::play_shown: {
      VoiceId shown;
      if (shown_voice_id(shown)) play(shown);
      return;
    }
    case Action::edit_shown: {
      VoiceId shown;
      if (shown_voice_id(shown)) edit(shown);
      return;
    }
    case Action::start_metronome:
      start_ticking();
      return;
    case Action::stop_metronome:
      stop_metronome();
      return;
  }
  // Zoom, pan and reset end with a full repaint.
  repaint_main_window();
}

}  // namespace thumpa
