#include "app/command_dispatch.h"

#include "app/about_box.h"
#include "app/command_sender.h"
#include "app/commands.h"
#include "app/file_commands.h"
#include "app/main_window.h"
#include "app/session.h"
#include "app/waveform.h"
#include "audio/metronome.h"
#include "audio/sound_device.h"
#include "bank/voice_bank.h"
#include "editors/editors.h"
#include "synth/messages.h"

namespace thumpa {

namespace {

void play(VoiceId id, std::int64_t due_ns = 0) {
  const int slot = playback_slot(id);
  if (slot >= 0) play_voice(playback_buffer[slot], due_ns);
}

void edit(Session& session, VoiceId id) {
  run_voice_editor(main_window, session.bank, id,
                   {[id] { send_command(voice_facts(id).play_command); }, repaint_main_window});
}

void show(ViewState& view, VoiceId id) {
  // Showing the voice already shown keeps the panned position.
  if (view.shown_voice != id) view.view_start = 0;
  view.shown_voice = id;
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

void run_command(Session& session, int id, std::int64_t due_ns) {
  ViewState& view = session.view;
  VoiceBank& bank = session.bank;
  const Command command = find_command(id);
  switch (command.action) {
    case Action::unknown:
    case Action::nothing:
      return;
    case Action::open_settings:
      if (const QString path = open_settings(main_window, bank, session.chosen_folder);
          !path.isEmpty()) {
        session.settings_file = path;
        repaint_main_window();
      }
      return;
    case Action::save_settings_as:
      if (const QString path = save_settings_as(main_window, bank.params, session.chosen_folder);
          !path.isEmpty()) {
        session.settings_file = path;
        if (main_window != nullptr) main_window->refresh_status();
      }
      return;
    case Action::write_wav_as:
      if (view.shown_voice) {
        // Proposed under the name Write All gives the voice.
        write_wav_as(main_window, shown_buffer(session),
                     QString::fromUtf8(voice_facts(*view.shown_voice).wav_name),
                     session.chosen_folder);
      }
      return;
    case Action::write_all:
      write_all(bank, session.chosen_folder);
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
      edit(session, command.voice);
      return;
    case Action::show_voice:
      show(view, command.voice);
      return;
    case Action::zoom_in:
      view.zoom = zoomed_in(view.zoom);
      break;
    case Action::zoom_out:
      view.zoom = zoomed_out(view.zoom);
      break;
    case Action::pan_left:
      view.view_start = panned_left(view.view_start, view.client_width, view.zoom);
      break;
    case Action::pan_right:
      if (const VoiceBuffer* shown = shown_buffer(session)) {
        view.view_start = panned_right(view.view_start, shown->count, view.client_width, view.zoom);
      }
      break;
    case Action::reset:
      reset_voice_bank(bank);
      break;
    case Action::play_shown:
      if (view.shown_voice) play(*view.shown_voice);
      return;
    case Action::edit_shown:
      if (view.shown_voice) edit(session, *view.shown_voice);
      return;
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
