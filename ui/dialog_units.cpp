#include "ui/dialog_units.h"

#include <QFont>
#include <QFontMetrics>

namespace thumpa {

namespace {

// units * base / divisor, rounded to nearest.
int scale(int units, int base, int divisor) {
  const long long product = static_cast<long long>(units) * base;
  const long long half = divisor / 2;
  return static_cast<int>(product >= 0 ? (product + half) / divisor : (product - half) / divisor);
}

}  // namespace

DialogBaseUnits dialog_base_units(const QFont& font) {
  const QFontMetrics metrics(font);
  // The average width of the 52 Latin letters, rounded.
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  DialogBaseUnits units;
  units.x = (letters / 26 + 1) / 2;
  units.y = metrics.height();
  if (units.x < 1) units.x = 1;
  if (units.y < 1) units.y = 1;
  return units;
}

QRect dialog_rect(const DialogBaseUnits& units, int x, int y, int width, int height) {
  return {scale(x, units.x, 4), scale(y, units.y, 8), scale(width, units.x, 4),
          scale(height, units.y, 8)};
}

}  // namespace thumpa
