// The main window's command handler: every menu item, key and sent command runs here, on the
// main thread, on the session of the run. Ids not in the command table do nothing.
#pragma once

namespace thumpa {

struct Session;

void run_command(Session& session, int id);

}  // namespace thumpa
