// Dialog layouts are given in dialog units of the dialog's font: a horizontal unit is a
// quarter of the font's average character width, a vertical unit an eighth of its height.
#pragma once

#include <QRect>

class QFont;

namespace thumpa {

struct DialogBaseUnits {
  int x = 1;  // average character width in pixels
  int y = 1;  // character height in pixels
};

DialogBaseUnits dialog_base_units(const QFont& font);

// A rectangle of x, y, width and height in dialog units as pixels (rounded to nearest).
QRect dialog_rect(const DialogBaseUnits& units, int x, int y, int width, int height);

}  // namespace thumpa
