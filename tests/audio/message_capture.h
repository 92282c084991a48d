// Records every message shown while it lives, in place of the message boxes.
#pragma once

#include <mutex>
#include <vector>

#include "synth/messages.h"

namespace thumpa {

struct MessageCapture {
  std::mutex mutex;
  std::vector<UserMessage> shown;
  MessageSink previous;

  MessageCapture() {
    previous = set_message_sink({[this](const UserMessage& m) {
                                   std::lock_guard lock(mutex);
                                   shown.push_back(m);
                                 },
                                 [] {}});
  }
  ~MessageCapture() { set_message_sink(previous); }

  std::vector<UserMessage> messages() {
    std::lock_guard lock(mutex);
    return shown;
  }
  std::vector<std::string> texts() {
    std::vector<std::string> t;
    for (const auto& m : messages()) t.push_back(m.text);
    return t;
  }
};

}  // namespace thumpa
