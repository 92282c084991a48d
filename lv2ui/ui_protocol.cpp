#include "lv2ui/ui_protocol.h"

#include <charconv>
#include <cmath>

namespace thumpa {
namespace {

std::string number_text(float value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

template <typename Number>
bool read_number(std::string_view& rest, Number& number) {
  const auto* begin = rest.data();
  const auto* end = rest.data() + rest.size();
  const auto [next, error] = std::from_chars(begin, end, number);
  if (error != std::errc() || next == begin) return false;
  rest.remove_prefix(static_cast<std::size_t>(next - begin));
  if (!rest.empty()) {
    if (rest.front() != ' ') return false;
    rest.remove_prefix(1);
  }
  return true;
}

}  // namespace

std::string ui_line(const UiMessage& message) {
  switch (message.word) {
    case UiWord::control:
      return "control " + std::to_string(message.index) + " " + number_text(message.value) + "\n";
    case UiWord::kit:
      if (message.path.find('\n') != std::string::npos || message.path.size() > MAX_UI_LINE - 5) {
        return {};
      }
      return "kit " + message.path + "\n";
    case UiWord::play:
      return "play " + std::to_string(message.index) + "\n";
    case UiWord::size:
      return "size " + std::to_string(message.index) + " " + std::to_string(message.number) + "\n";
    case UiWord::window:
      return "window " + std::to_string(message.number) + "\n";
  }
  return {};
}

std::optional<UiMessage> parse_ui_line(std::string_view line) {
  const std::size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return std::nullopt;
  const std::string_view word = line.substr(0, blank);
  std::string_view rest = line.substr(blank + 1);
  UiMessage message;
  bool read = false;
  if (word == "control") {
    message.word = UiWord::control;
    read = read_number(rest, message.index) && read_number(rest, message.value) &&
           std::isfinite(message.value);
  } else if (word == "kit") {
    message.word = UiWord::kit;
    message.path = std::string(rest);
    return message;
  } else if (word == "play") {
    message.word = UiWord::play;
    read = read_number(rest, message.index);
  } else if (word == "size") {
    message.word = UiWord::size;
    read = read_number(rest, message.index) && read_number(rest, message.number);
  } else if (word == "window") {
    message.word = UiWord::window;
    read = read_number(rest, message.number);
  }
  if (!read || !rest.empty()) return std::nullopt;
  return message;
}

std::vector<std::string> take_ui_lines(UiLineReader& reader, std::string_view bytes) {
  std::vector<std::string> lines;
  while (!bytes.empty()) {
    const std::size_t end = bytes.find('\n');
    const std::string_view part = bytes.substr(0, end);
    if (!reader.skipping) reader.pending.append(part);
    if (reader.pending.size() > MAX_UI_LINE) {
      reader.pending.clear();
      reader.skipping = true;
    }
    if (end == std::string_view::npos) break;
    if (!reader.skipping) lines.push_back(std::move(reader.pending));
    reader.pending.clear();
    reader.skipping = false;
    bytes.remove_prefix(end + 1);
  }
  return lines;
}

}  // namespace thumpa
