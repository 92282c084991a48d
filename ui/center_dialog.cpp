#include "ui/center_dialog.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace thumpa {

namespace {

// One axis: start + (owner - dialog) / 2, truncating toward zero, then kept inside.
int centered(int owner_start, int owner_size, int dialog_size, int area_start, int area_end) {
  int x = owner_start + (owner_size - dialog_size) / 2;
  if (x < area_start) {
    x = area_start;
  } else if (x + dialog_size > area_end) {
    x = area_end - dialog_size;
  }
  return x;
}

}  // namespace

QPoint centered_position(QSize dialog, QRect owner, QRect work_area) {
  // Window rectangles here are exclusive on the right and bottom, as the work area is.
  const int area_right = work_area.x() + work_area.width();
  const int area_bottom = work_area.y() + work_area.height();
  return {centered(owner.x(), owner.width(), dialog.width(), work_area.x(), area_right),
          centered(owner.y(), owner.height(), dialog.height(), work_area.y(), area_bottom)};
}

void center_dialog(QWidget* dialog, QWidget* owner) {
  if (dialog == nullptr) return;
  QScreen* screen = owner != nullptr ? owner->screen() : QGuiApplication::primaryScreen();
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  const QRect work_area = screen != nullptr ? screen->availableGeometry() : QRect();
  const QRect owner_frame = owner != nullptr ? owner->frameGeometry() : work_area;
  dialog->move(centered_position(dialog->frameGeometry().size(), owner_frame, work_area));
}

}  // namespace thumpa
