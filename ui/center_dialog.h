// Placement of every dialog of the program: centred on its owner, pushed back inside the
// desktop's work area along an axis where it would stick out.
#pragma once

#include <QPoint>
#include <QRect>

class QWidget;

namespace thumpa {

// Top-left corner for a dialog of the given frame size centred on the owner's frame, inside
// the work area. The left and top edges win only when the centred position lies left of or
// above the work area; a dialog larger than the work area otherwise ends with its right or
// bottom edge on the work area's edge.
QPoint centered_position(QSize dialog, QRect owner, QRect work_area);

// Moves the dialog to centered_position against the available geometry of the owner's
// screen (the whole screen if none is known), keeping its size.
void center_dialog(QWidget* dialog, QWidget* owner);

}  // namespace thumpa
