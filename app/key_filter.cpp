#include "app/key_filter.h"

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>

#include "app/command_sender.h"
#include "app/key_map.h"
#include "app/main_window.h"

namespace thumpa {

namespace {

// The command a key event on `watched` runs, or 0.
int key_command(QObject* watched, const QKeyEvent& event) {
  if (main_window == nullptr || !watched->isWidgetType()) return 0;
  if (QApplication::activeModalWidget() != nullptr ||
      QApplication::activePopupWidget() != nullptr) {
    return 0;
  }
  if (static_cast<QWidget*>(watched)->window() != main_window) return 0;
  return command_for_key(key_stroke(event));
}

}  // namespace

bool KeyFilter::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::ShortcutOverride) {
    // Keys of the table are ours: no shortcut or menu mnemonic takes them first.
    if (key_command(watched, *static_cast<QKeyEvent*>(event)) != 0) {
      event->accept();
      return true;
    }
  } else if (event->type() == QEvent::KeyPress) {
    if (const int command = key_command(watched, *static_cast<QKeyEvent*>(event)); command != 0) {
      send_command(command);  // on this thread: runs at once, on the main window's session
      return true;
    }
  }
  return QObject::eventFilter(watched, event);
}

void install_key_filter() {
  static KeyFilter* filter = nullptr;
  if (filter == nullptr) {
    filter = new KeyFilter(qApp);
    qApp->installEventFilter(filter);
  }
}

}  // namespace thumpa
