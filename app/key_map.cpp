#include "app/key_map.h"

#include <QKeyEvent>

#include "app/commands.h"

namespace thumpa {

namespace {

constexpr std::uint32_t FIRST_DIGIT_SCAN_CODE = 10;  // the "1" key
constexpr std::uint32_t LAST_DIGIT_SCAN_CODE = 18;   // the "9" key

const Qt::KeyboardModifiers CHORD_MODIFIERS =
    Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;

Qt::KeyboardModifiers chord(const KeyStroke& stroke) {
  return stroke.modifiers & CHORD_MODIFIERS;
}

int digit_command(int digit, Qt::KeyboardModifiers mods) {
  for (VoiceId voice : MENU_ORDER) {
    const VoiceFacts& v = voice_facts(voice);
    if (v.digit != digit) continue;
    if (mods == Qt::NoModifier) return v.play_command;
    if (mods == Qt::ControlModifier) return v.edit_command;
    if (mods == Qt::ShiftModifier) return v.show_command;
  }
  return 0;
}

int physical_key_command(const KeyStroke& stroke) {
  const Qt::KeyboardModifiers mods = chord(stroke);
  if (const int digit = main_row_digit(stroke); digit != 0) return digit_command(digit, mods);
  switch (stroke.key) {
    case Qt::Key_F5:
      return mods == Qt::NoModifier ? CMD_START_METRONOME : 0;
    case Qt::Key_F6:
      return mods == Qt::NoModifier ? CMD_STOP_METRONOME : 0;
    case Qt::Key_Space:
      if (mods == Qt::NoModifier) return CMD_PLAY_SHOWN;
      if (mods == Qt::ControlModifier) return CMD_EDIT_SHOWN;
      return 0;
    default:
      return 0;
  }
}

int typed_character_command(const KeyStroke& stroke) {
  if (stroke.text.size() != 1) return 0;
  const QChar c = stroke.text.front();
  const Qt::KeyboardModifiers mods = chord(stroke);
  // A typed character already includes Shift; Ctrl and Meta make control keys, not characters.
  if (mods & (Qt::ControlModifier | Qt::MetaModifier)) return 0;
  if (mods & Qt::AltModifier) return c == u'/' || c == u'?' ? CMD_ABOUT : 0;
  switch (c.unicode()) {
    case u'*':
      return CMD_ZOOM_IN;
    case u'+':
      return CMD_PAN_RIGHT;
    case u'-':
      return CMD_PAN_LEFT;
    case u'/':
      return CMD_ZOOM_OUT;
    default:
      return 0;
  }
}

}  // namespace

KeyStroke key_stroke(const QKeyEvent& event) {
  return {event.nativeScanCode(), event.key(), event.modifiers(), event.text()};
}

int main_row_digit(const KeyStroke& stroke) {
  if (stroke.scan_code != 0) {
    if (stroke.scan_code < FIRST_DIGIT_SCAN_CODE || stroke.scan_code > LAST_DIGIT_SCAN_CODE) {
      return 0;
    }
    return static_cast<int>(stroke.scan_code - FIRST_DIGIT_SCAN_CODE) + 1;
  }
  if (stroke.modifiers & Qt::KeypadModifier) return 0;
  if (stroke.key >= Qt::Key_1 && stroke.key <= Qt::Key_9) return stroke.key - Qt::Key_0;
  return 0;
}

int command_for_key(const KeyStroke& stroke) {
  if (const int command = physical_key_command(stroke); command != 0) return command;
  return typed_character_command(stroke);
}

}  // namespace thumpa
