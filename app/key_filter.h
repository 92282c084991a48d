// The program's keys: an application-wide filter that turns key presses on the main window
// into commands through the key table. Keys do nothing while a modal dialog, a message box or
// a popup menu is open, or when they are meant for another window.
#pragma once

#include <QObject>

namespace thumpa {

class KeyFilter : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
};

// Installs the filter on the application; from then on the keys run commands.
void install_key_filter();

}  // namespace thumpa
