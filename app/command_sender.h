// Hands command ids to the main window's dispatcher from any thread and waits until they have
// run. On the main thread the dispatcher is called directly; from another thread (the
// metronome's) the command is queued to the main thread, which runs it even while a modal
// dialog or message box has its own loop, and the sender blocks until it is done.
#pragma once

#include <functional>

class QObject;

namespace thumpa {

// The object whose thread runs commands and the dispatcher itself. A null target drops every
// command sent from now on and releases senders that still wait.
void set_command_target(QObject* target, std::function<void(int)> dispatch);

// Clears the target only while it is `target`: an object that goes clears its own claim, never
// that of an object which became the target after it.
void clear_command_target(QObject* target);

void send_command(int id);

// Runs f while commands from other threads are dropped instead of queued, and releases any
// sender still waiting first. Used around stopping the metronome: stopping waits for the tick
// thread, which may itself be waiting for the main thread.
void with_sent_commands_refused(const std::function<void()>& f);

}  // namespace thumpa
