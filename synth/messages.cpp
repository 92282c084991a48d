#include "synth/messages.h"

#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

namespace thumpa {

namespace {

void print_message(const UserMessage& m) {
  std::string line = m.caption.empty() ? m.text : m.caption + ": " + m.text;
  if (!m.detail.empty()) line += " (" + m.detail + ")";
  std::fprintf(stderr, "%s\n", line.c_str());
}

MessageSink& current_sink() {
  static MessageSink sink{print_message, [] {}};
  return sink;
}

}  // namespace

MessageSink set_message_sink(MessageSink sink) {
  return std::exchange(current_sink(), std::move(sink));
}

void show_message(const UserMessage& message) {
  if (current_sink().show) current_sink().show(message);
}

void show_message(std::string text, std::string caption, MessageIcon icon, std::string detail) {
  show_message(UserMessage{std::move(text), std::move(caption), icon, std::move(detail)});
}

void request_destroy_main_window() {
  if (current_sink().destroy_main_window) current_sink().destroy_main_window();
}

void with_messages_held(const std::function<void()>& f) {
  struct Held {
    std::optional<UserMessage> message;  // none: a destroy request
  };
  std::vector<Held> held;
  MessageSink outer = set_message_sink({[&held](const UserMessage& m) { held.push_back({m}); },
                                        [&held] { held.push_back({std::nullopt}); }});
  f();
  set_message_sink(std::move(outer));
  for (const Held& h : held) {
    if (h.message) {
      show_message(*h.message);
    } else {
      request_destroy_main_window();
    }
  }
}

}  // namespace thumpa
