// The program's messages as modal message boxes.
#pragma once

class QWidget;

namespace thumpa {

struct UserMessage;

// Shows the message in a modal box owned by owner and returns once it is dismissed. An empty
// caption leaves the window title unset, so the application's name ("thumpa") shows.
void show_message_box(QWidget* owner, const UserMessage& message);

// Makes every message of the program a box owned by the main window, and a request to
// destroy the main window a close of it, queued so that it happens safely in the event loop.
void install_message_boxes();

}  // namespace thumpa
