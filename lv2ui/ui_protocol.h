// The lines the plugin's window process and its in-process part exchange over their socket:
// one message a line, a word and its arguments, in plain ASCII. Both directions use the same
// words; each side acts on the ones meant for it and skips the rest.
//   control INDEX VALUE  a control's value (INDEX counts from the first control port)
//   kit PATH             the kit: reported by the plugin, or to be opened by it
//   play VOICE           a note-on of the voice (its VoiceId) at full velocity
//   size WIDTH HEIGHT    the window's fixed size, for the host
//   window XID           the window's X window id, once it exists
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace thumpa {

// A longer line is no message (a kit path is at most 4096 bytes); it is skipped.
inline constexpr std::size_t MAX_UI_LINE = 8192;

enum class UiWord { control, kit, play, size, window };

struct UiMessage {
  UiWord word = UiWord::control;
  std::uint32_t index = 0;   // control: the control; play: the voice; size: the width
  float value = 0;           // control
  std::uint64_t number = 0;  // size: the height; window: the id
  std::string path;          // kit
};

// The message's line, with its "\n"; empty when it cannot be one (a path holding a newline).
std::string ui_line(const UiMessage& message);

// The message a line (without its "\n") holds; nothing for an unknown word or bad arguments.
std::optional<UiMessage> parse_ui_line(std::string_view line);

// Bytes read from the socket, cut into lines.
struct UiLineReader {
  std::string pending;
  bool skipping = false;  // inside a line that grew past MAX_UI_LINE
};

// Appends the bytes and returns the lines they complete, without their "\n".
std::vector<std::string> take_ui_lines(UiLineReader& reader, std::string_view bytes);

}  // namespace thumpa
