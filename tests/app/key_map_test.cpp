#include "app/key_map.h"

#include <gtest/gtest.h>

#include <QKeyEvent>
#include <string_view>

namespace thumpa {
namespace {

using Qt::AltModifier;
using Qt::ControlModifier;
using Qt::KeypadModifier;
using Qt::MetaModifier;
using Qt::NoModifier;
using Qt::ShiftModifier;

struct KeyCase {
  const char* name;
  std::uint32_t scan_code;
  int key;
  Qt::KeyboardModifiers modifiers;
  std::u16string_view text;
  int command;
};

// Key events as Qt reports them on X11 with a US layout, unless the name says otherwise.
const KeyCase X11_CASES[] = {
    {"1 plays the Blipp", 10, Qt::Key_1, NoModifier, u"1", 600},
    {"Ctrl+1 edits the Blipp", 10, Qt::Key_1, ControlModifier, u"1", 40010},
    {"Shift+1 shows the Blipp", 10, Qt::Key_Exclam, ShiftModifier, u"!", 40037},
    {"Shift+5 shows the Kick", 14, Qt::Key_Percent, ShiftModifier, u"%", 40041},
    {"4 plays the Open Hi-hat", 13, Qt::Key_4, NoModifier, u"4", 604},
    {"Ctrl+6 edits the Snare", 15, Qt::Key_6, ControlModifier, u"6", 40051},
    {"7 plays the Cowbell", 16, Qt::Key_7, NoModifier, u"7", 40049},
    {"9 plays the Oscillator", 18, Qt::Key_9, NoModifier, u"9", 608},
    {"Ctrl+9 edits the Oscillator", 18, Qt::Key_9, ControlModifier, u"9", 40019},
    {"Shift+9 shows the Oscillator", 18, Qt::Key_ParenLeft, ShiftModifier, u"(", 40045},
    {"8 does nothing", 17, Qt::Key_8, NoModifier, u"8", 0},
    {"Ctrl+8 does nothing", 17, Qt::Key_8, ControlModifier, u"8", 0},
    {"Shift+8 types * and zooms in", 17, Qt::Key_Asterisk, ShiftModifier, u"*", 40033},
    {"Ctrl+Shift+1 does nothing", 10, Qt::Key_Exclam, ControlModifier | ShiftModifier, u"!", 0},
    {"Alt+1 does nothing", 10, Qt::Key_1, AltModifier, u"1", 0},
    {"Meta+1 does nothing", 10, Qt::Key_1, MetaModifier, u"1", 0},
    {"keypad 1 is not the digit key", 87, Qt::Key_1, KeypadModifier, u"1", 0},
    {"keypad 5 with NumLock off", 84, Qt::Key_Clear, KeypadModifier, u"", 0},
    {"keypad * zooms in", 63, Qt::Key_Asterisk, KeypadModifier, u"*", 40033},
    {"keypad + pans right", 86, Qt::Key_Plus, KeypadModifier, u"+", 40036},
    {"keypad - pans left", 82, Qt::Key_Minus, KeypadModifier, u"-", 40035},
    {"keypad / zooms out", 106, Qt::Key_Slash, KeypadModifier, u"/", 40034},
    {"main-row + pans right", 21, Qt::Key_Plus, ShiftModifier, u"+", 40036},
    {"main-row - pans left", 20, Qt::Key_Minus, NoModifier, u"-", 40035},
    {"main-row / zooms out", 61, Qt::Key_Slash, NoModifier, u"/", 40034},
    {"Ctrl+- is no character entry", 20, Qt::Key_Minus, ControlModifier, u"-", 0},
    {"Alt+/ opens About", 61, Qt::Key_Slash, AltModifier, u"/", 303},
    {"Alt+? opens About", 61, Qt::Key_Question, ShiftModifier | AltModifier, u"?", 303},
    {"Alt+* is nothing", 17, Qt::Key_Asterisk, ShiftModifier | AltModifier, u"*", 0},
    {"F5 starts the metronome", 71, Qt::Key_F5, NoModifier, u"", 40055},
    {"F6 stops it", 72, Qt::Key_F6, NoModifier, u"", 40056},
    {"Shift+F5 does nothing", 71, Qt::Key_F5, ShiftModifier, u"", 0},
    {"Space plays the shown voice", 65, Qt::Key_Space, NoModifier, u" ", 40053},
    {"Ctrl+Space edits it", 65, Qt::Key_Space, ControlModifier, std::u16string_view(u"\0", 1),
     40054},
    {"Shift+Space does nothing", 65, Qt::Key_Space, ShiftModifier, u" ", 0},
    // A layout whose unshifted main row types symbols: the physical key wins over the
    // character, so the "6" key plays the Snare although it types "-".
    {"6 key typing - plays the Snare", 15, Qt::Key_Minus, NoModifier, u"-", 40048},
    {"Shift on that key shows the Snare", 15, Qt::Key_6, ShiftModifier, u"6", 40042},
    // A layout that types "*" elsewhere: the character entry still matches.
    {"* on another key zooms in", 51, Qt::Key_Asterisk, NoModifier, u"*", 40033},
    {"a letter does nothing", 38, Qt::Key_A, NoModifier, u"a", 0},
};

// The offscreen platform reports no scan codes: the Qt key stands in for main-row digits.
const KeyCase OFFSCREEN_CASES[] = {
    {"3 plays the Closed Hi-hat", 0, Qt::Key_3, NoModifier, u"3", 602},
    {"Ctrl+3 edits it", 0, Qt::Key_3, ControlModifier, u"3", 40013},
    {"Shift+3 shows it", 0, Qt::Key_3, ShiftModifier, u"3", 40039},
    {"keypad 3 does nothing", 0, Qt::Key_3, KeypadModifier, u"3", 0},
    {"8 does nothing", 0, Qt::Key_8, NoModifier, u"8", 0},
    {"0 does nothing", 0, Qt::Key_0, NoModifier, u"0", 0},
    {"* zooms in", 0, Qt::Key_Asterisk, ShiftModifier, u"*", 40033},
    {"Space plays", 0, Qt::Key_Space, NoModifier, u" ", 40053},
};

void expect_cases(const KeyCase* begin, const KeyCase* end) {
  for (const KeyCase* c = begin; c != end; ++c) {
    const KeyStroke stroke{c->scan_code, c->key, c->modifiers,
                           QString(reinterpret_cast<const QChar*>(c->text.data()),
                                   static_cast<qsizetype>(c->text.size()))};
    EXPECT_EQ(command_for_key(stroke), c->command) << c->name;
  }
}

TEST(KeyMap, X11KeysFollowTheKeyTable) {
  expect_cases(std::begin(X11_CASES), std::end(X11_CASES));
}

TEST(KeyMap, OffscreenFallsBackToTheQtKeyForDigits) {
  expect_cases(std::begin(OFFSCREEN_CASES), std::end(OFFSCREEN_CASES));
}

TEST(KeyMap, MainRowDigitsComeFromScanCodes10To18) {
  for (std::uint32_t code = 10; code <= 18; ++code) {
    EXPECT_EQ(main_row_digit({code, Qt::Key_unknown, NoModifier, {}}), static_cast<int>(code - 9));
  }
  EXPECT_EQ(main_row_digit({9, Qt::Key_Escape, NoModifier, {}}), 0);
  EXPECT_EQ(main_row_digit({19, Qt::Key_0, NoModifier, {}}), 0);
  // A real scan code outside the row wins over a digit key code.
  EXPECT_EQ(main_row_digit({87, Qt::Key_1, NoModifier, {}}), 0);
}

TEST(KeyMap, KeyStrokeTakesTheEventsFields) {
  const QKeyEvent event(QEvent::KeyPress, Qt::Key_Asterisk, ShiftModifier, 17, 42, 1,
                        QStringLiteral("*"));
  const KeyStroke stroke = key_stroke(event);
  EXPECT_EQ(stroke.scan_code, 17u);
  EXPECT_EQ(stroke.key, Qt::Key_Asterisk);
  EXPECT_EQ(stroke.modifiers, ShiftModifier);
  EXPECT_EQ(stroke.text, QStringLiteral("*"));
  EXPECT_EQ(command_for_key(stroke), 40033);
}

}  // namespace
}  // namespace thumpa
