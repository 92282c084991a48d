// The main window's command handler: every menu item, key and sent command runs here, on the
// main thread. Ids not in the command table do nothing.
#pragma once

#include <cstdint>

#include "synth/types.h"

namespace thumpa {

// A play command's sound is due at due_ns on the steady clock; 0: as soon as the sound device
// allows, as for a key.
void run_command(int id, std::int64_t due_ns = 0);

// The voice whose VoiceBuffer is shown_voice, by identity; false when none is.
bool shown_voice_id(VoiceId& id);

}  // namespace thumpa
