// One running program per user and display. The first start listens on a local socket; a
// second start connects to it, which makes the first restore and raise its main window, and
// ends at once. A socket left behind by a crashed run is removed.
#pragma once

#include <QString>

namespace thumpa {

// "thumpa-<user id>-<display>", with the display taken from the environment.
QString instance_server_name();

// Asks the running program, if any, to come to the front. True when one answered.
bool hand_over_to_running_instance(const QString& name);

enum class InstanceClaim {
  first,        // this process runs; later starts under the name come to it
  handed_over,  // another process runs and was asked to come to the front
};

// Hands over to a running program, or else listens under the name; each later connection
// restores and raises the main window. A socket of that name that nobody answers on was left
// by a crashed run and is removed. If listening fails all the same, the program runs without
// the guard. The server is a child of the application.
InstanceClaim claim_single_instance(const QString& name);

// Restores the main window if minimised, shows it and brings it to the front.
void bring_main_window_to_front();

}  // namespace thumpa
