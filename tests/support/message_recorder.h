// Records every message shown, and every request to destroy the main window, while it lives,
// in place of the message boxes.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "synth/messages.h"

namespace thumpa {

struct MessageRecorder {
  std::vector<UserMessage> shown;  // read it once no other thread can show any more
  int destroy_requests = 0;
  std::mutex mutex;
  MessageSink previous;
  // Runs as each message is shown, before it is recorded (optional).
  std::function<void(const UserMessage&)> on_show;

  MessageRecorder() {
    previous = set_message_sink({[this](const UserMessage& m) {
                                   if (on_show) on_show(m);
                                   std::lock_guard lock(mutex);
                                   shown.push_back(m);
                                 },
                                 [this] {
                                   std::lock_guard lock(mutex);
                                   ++destroy_requests;
                                 }});
  }
  ~MessageRecorder() { set_message_sink(previous); }

  std::vector<UserMessage> messages() {
    std::lock_guard lock(mutex);
    return shown;
  }
  std::vector<std::string> texts() {
    std::vector<std::string> t;
    for (const UserMessage& m : messages()) t.push_back(m.text);
    return t;
  }
};

}  // namespace thumpa
