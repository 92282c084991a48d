// How the plain C++ parts of the program speak to the user. The desktop program shows each
// message in a modal box owned by its main window; thumpa-render prints it on stderr; tests
// record it. Nothing here blocks on its own: whoever installs the sink decides.
#pragma once

#include <functional>
#include <string>

namespace thumpa {

enum class MessageIcon { none, information, warning, error };

// The caption of the program's own message boxes. An empty caption means "no caption of its
// own": the window system's default title shows.
inline constexpr const char* APP_CAPTION = "Thumpa";

struct UserMessage {
  std::string text;
  std::string caption;  // empty: the default title
  MessageIcon icon = MessageIcon::none;
  std::string detail;  // optional detail text, such as a system's reason
};

struct MessageSink {
  std::function<void(const UserMessage&)> show;
  // A request to destroy the main window, which ends the program once control is back in the
  // event loop.
  std::function<void()> destroy_main_window;
};

// Installs the sink and returns the one it replaces. The default prints to stderr.
MessageSink set_message_sink(MessageSink sink);

void show_message(const UserMessage& message);
void show_message(std::string text, std::string caption, MessageIcon icon, std::string detail = {});
void request_destroy_main_window();

// Runs f with every message it shows and every destroy request it makes held back, then passes
// them on in their order once f has returned. A message box runs an event loop of its own, in
// which queued commands run; holding the messages keeps those commands out of the middle of f.
void with_messages_held(const std::function<void()>& f);

}  // namespace thumpa
