// The main window's command handler: every menu item, key and sent command runs here, on the
// main thread, on the session of the run. Ids not in the command table do nothing.
#pragma once

#include <cstdint>

namespace thumpa {

struct Session;

// A play command's sound is due at due_ns on the steady clock; 0: as soon as the sound device
// allows, as for a key.

void run_command(Session& session, int id, std::int64_t due_ns = 0);

}  // namespace thumpa
