// The main window's command handler: every menu item, key and sent command runs here, on the
// main thread. Ids not in the command table do nothing.
#pragma once

#include "synth/types.h"

namespace thumpa {

void run_command(int id);

// The voice whose VoiceBuffer is shown_voice, by identity; false when none is.
bool shown_voice_id(VoiceId& id);

}  // namespace thumpa
