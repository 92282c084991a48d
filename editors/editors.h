// The voice editors: one modal dialog per edit command, "EditBox" for the seven drum voices and
// "EditOscBox" for the Oscillator. They write the form back into the bank's records and
// shaping settings and rebuild the voice.
#pragma once

#include <functional>

#include "synth/types.h"

class QWidget;

namespace thumpa {

struct VoiceBank;

// Opens the editor of the voice (0 to 6: "EditBox", 8: "EditOscBox") as a modal dialog owned
// by main_window and returns when it closes. send_command hands a command id to the main
// window's dispatcher and returns once it has been handled; Test uses it to play the voice.
void run_voice_editor(QWidget* main_window, VoiceBank& bank, VoiceId voice,
                      const std::function<void(int command)>& send_command);

}  // namespace thumpa
