// What one run of the desktop program works on: the voice bank, the main window's view of it,
// the folder the file commands last chose and the settings file last read or written. The program's
// run function owns the one session and hands it to the main window and the command dispatcher;
// only the main thread touches it.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>

#include "app/waveform.h"
#include "bank/voice_bank.h"
#include "synth/types.h"

namespace thumpa {

struct ViewState {
  // The voice drawn, played by Space, edited by Ctrl+Space and written by "&Write Wav As...";
  // none until start-up has rendered the bank.
  std::optional<VoiceId> shown_voice;
  std::int32_t zoom = INITIAL_ZOOM;
  std::int32_t view_start = 0;  // never negative
  // Width of the client area, stored by each paint of a voice; read by the pan commands.
  std::uint32_t client_width = 0;
};

struct Session {
  VoiceBank bank;
  ViewState view;
  // The folder of the last file a file command read or wrote, where "Write &All" writes; empty
  // before any did (the current folder is used).
  QString chosen_folder;
  // The settings file last read or written, which the status line names; empty before any.
  QString settings_file;
};

// The samples of the shown voice; null when none is shown.
inline const VoiceBuffer* shown_buffer(const Session& session) {
  return session.view.shown_voice ? &session.bank.voices[*session.view.shown_voice] : nullptr;
}

}  // namespace thumpa
