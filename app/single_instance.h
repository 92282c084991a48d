// One running program per user and display. The first start holds a lock on
// "<name>.lock" for as long as it runs and listens on the local socket <name>; a later start
// connects to it and asks it to come to the front (and to open a settings file, when one was
// given), waits for its answer, and ends. A socket left behind by a crashed run is removed by
// the next holder of the lock.
//
// The lock, not the socket, decides who is first: a listen under a name replaces whatever
// socket had that name, so two starts at the same moment could both listen, and the one that
// ended first would take the other's socket with it. Only the lock's holder ever listens or
// removes the socket, and the kernel lets the lock go when its holder ends, crashed or not.
//
// The socket lives in a folder that only the user can enter, so no other user can listen in
// its place and keep the program from starting; a listener that runs as another user all the
// same (root's, say) is not handed over to.
#pragma once

#include <QString>
#include <functional>

namespace thumpa {

// $XDG_RUNTIME_DIR when it is a folder of the user's that nobody else may enter; otherwise
// "thumpa-<user id>" in the temporary folder, made so and checked for owner and mode. Empty
// when neither can be trusted.
QString instance_folder();

// "<instance folder>/thumpa-<display>", with the display taken from the environment; empty
// when there is no instance folder.
QString instance_server_name();

// Asks the running program, if any, to come to the front, and to open the settings file at
// the absolute path `settings_file` when it is not empty. True once a program that runs as
// this user has answered that it took the request.
bool hand_over_to_running_instance(const QString& name, const QString& settings_file = {});

enum class InstanceClaim {
  first,        // this process runs; later starts under the name come to it
  handed_over,  // another process runs and took the request
};

// Takes the lock and listens under the name, or else hands over to the program that holds it
// (waiting a few seconds for one that is just starting or just ending). A later start's
// request restores and raises the main window; the settings files it hands over go to the
// handler below. With no name, or when the lock cannot be had nor anyone reached, the program
// runs without the guard. The server is a child of the application.
InstanceClaim claim_single_instance(const QString& name, const QString& settings_file = {});

// Where handed-over settings files go; files that arrive while there is no handler wait for
// one. An empty handler stops the delivery.
void set_handed_over_file_handler(std::function<void(const QString& path)> handler);

// Stops answering later starts, so that they wait for this run to end and then run
// themselves instead of handing over to a program that is going away.
void stop_single_instance_server();

// Restores the main window if minimised, shows it and brings it to the front.
void bring_main_window_to_front();

}  // namespace thumpa
