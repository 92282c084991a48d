// Answers the modal dialogs a test provokes: records each message box (text, title, icon,
// detail) and dismisses it, and hands any other modal dialog to a callback (which closes it by
// default). Polls from a timer, so it works inside the dialogs' own event loops.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QString>
#include <QTimer>
#include <functional>
#include <vector>

namespace thumpa::test {

struct SeenBox {
  QString text;
  QString title;
  QMessageBox::Icon icon;
  QString detail;
  QWidget* owner;
};

class ModalWatcher {
 public:
  ModalWatcher() {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
    timer_.start();
  }

  std::vector<SeenBox> boxes;
  // Called with a message box; unless it returns true (it answered the box itself), the box
  // is then dismissed with OK.
  std::function<bool(QMessageBox*)> on_box;
  // Called with any other modal dialog; the default rejects it.
  std::function<void(QDialog*)> on_dialog = [](QDialog* d) { d->reject(); };
  std::vector<QString> dialog_titles;

 private:
  void poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible()) return;
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      boxes.push_back({box->text(), box->windowTitle(), box->icon(), box->informativeText(),
                       box->parentWidget()});
      if (!(on_box && on_box(box))) box->done(QMessageBox::Ok);
    } else if (auto* dialog = qobject_cast<QDialog*>(modal)) {
      dialog_titles.push_back(dialog->windowTitle());
      if (on_dialog) on_dialog(dialog);
    }
  }

  QTimer timer_;
};

}  // namespace thumpa::test
