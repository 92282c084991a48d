// The voice editors: one modal dialog per edit command, "EditBox" for the seven drum voices and
// "EditOscBox" for the Oscillator. They write the form back into the bank's records and
// shaping settings and rebuild the voice.
#pragma once

#include <functional>

#include "synth/types.h"

class QWidget;

namespace thumpa {

struct VoiceBank;

// What an editor asks of the program around it.
struct EditorHooks {
  // Plays the edited voice as its key does, and returns once it has been asked to sound (Test).
  std::function<void()> play;
  // The voice was rebuilt: whatever shows it is drawn again (OK, Apply and Test).
  std::function<void()> changed;
};

// Opens the editor of the voice (0 to 6: "EditBox", 8: "EditOscBox") as a modal dialog owned
// by `owner`, centred on it, and returns when it closes.
void run_voice_editor(QWidget* owner, VoiceBank& bank, VoiceId voice, EditorHooks hooks);

}  // namespace thumpa
