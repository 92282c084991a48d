// Hands command ids to the main window's dispatcher from any thread and waits until they have
// run. On the main thread the dispatcher is called directly; from another thread (the
// metronome's) the command is queued to the main thread, which runs it even while a modal
// dialog or message box has its own loop, and the sender blocks until it is done.
#pragma once

#include <cstdint>
#include <functional>
#include <stop_token>

class QObject;

namespace thumpa {

// The object whose thread runs commands and the dispatcher itself, which is given the command
// and when its sound is due (0: as soon as the sound device allows). A null target drops every
// command sent from now on and releases senders that still wait.
void set_command_target(QObject* target, std::function<void(int id, std::int64_t due_ns)> dispatch);

// Clears the target only while it is `target`: an object that goes clears its own claim, never
// that of an object which became the target after it.
void clear_command_target(QObject* target);

void send_command(int id);

// As send_command, for a play command whose sound is due at due_ns on the steady clock. A sender
// on another thread also stops waiting, and its command is dropped, once give_up is requested:
// the metronome's tick gives up when the main thread stops the metronome and waits for it.
void send_timed_command(int id, std::int64_t due_ns, std::stop_token give_up);

}  // namespace thumpa
