// The program's key table: which key press runs which command. A press is matched first as a
// physical key (the main-row digits, F5, F6, Space with their modifiers) and, if no key entry
// takes it, by the character it types ("*", "+", "-", "/", and "/" or "?" with Alt), so the
// character entries work from the main row and the keypad alike and Shift+8 zooms in wherever
// it types "*".
#pragma once

#include <QString>
#include <Qt>
#include <cstdint>

class QKeyEvent;

namespace thumpa {

struct KeyStroke {
  std::uint32_t scan_code = 0;  // X11 key code (evdev code + 8); 0 where the platform has none
  int key = 0;                  // Qt::Key
  Qt::KeyboardModifiers modifiers;
  QString text;  // the typed character, if any
};

KeyStroke key_stroke(const QKeyEvent& event);

// The main-row digit (1 to 9) the press is on, or 0. X11 reports main-row digits 1 to 9 as
// key codes 10 to 18 whatever the layout types; keypad digits have other codes. Where the
// platform gives no scan code (0) the Qt key stands in, unless it comes from the keypad.
int main_row_digit(const KeyStroke& stroke);

// The command the press runs, or 0 when no entry of the table takes it.
int command_for_key(const KeyStroke& stroke);

}  // namespace thumpa
