// One running program per user and display. The first start listens on a local socket; a
// second start connects to it, which makes the first restore and raise its main window, and
// ends at once. A socket left behind by a crashed run is removed.
//
// The socket lives in a folder that only the user can enter, so no other user can listen in
// its place and keep the program from starting; a listener that runs as another user all the
// same (root's, say) is not handed over to.
#pragma once

#include <QString>

namespace thumpa {

// $XDG_RUNTIME_DIR when it is a folder of the user's that nobody else may enter; otherwise
// "thumpa-<user id>" in the temporary folder, made so and checked for owner and mode. Empty
// when neither can be trusted.
QString instance_folder();

// "<instance folder>/thumpa-<display>", with the display taken from the environment; empty
// when there is no instance folder.
QString instance_server_name();

// Asks the running program, if any, to come to the front. True when one answered and runs as
// this user.
bool hand_over_to_running_instance(const QString& name);

enum class InstanceClaim {
  first,        // this process runs; later starts under the name come to it
  handed_over,  // another process runs and was asked to come to the front
};

// Hands over to a running program, or else listens under the name; each later connection
// restores and raises the main window. A socket of that name that nobody answers on was left
// by a crashed run and is removed. With no name, or if listening fails all the same, the
// program runs without the guard. The server is a child of the application.
InstanceClaim claim_single_instance(const QString& name);

// Restores the main window if minimised, shows it and brings it to the front.
void bring_main_window_to_front();

}  // namespace thumpa
