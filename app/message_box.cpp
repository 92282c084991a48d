#include "app/message_box.h"

#include <QMessageBox>
#include <QMetaObject>
#include <QString>

#include "app/main_window.h"
#include "synth/messages.h"
#include "ui/owned_dialog.h"

namespace thumpa {

namespace {

QMessageBox::Icon box_icon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::information:
      return QMessageBox::Information;
    case MessageIcon::warning:
      return QMessageBox::Warning;
    case MessageIcon::error:
      return QMessageBox::Critical;
    case MessageIcon::none:
      break;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

void show_message_box(QWidget* owner, const UserMessage& message) {
  auto* box = new QMessageBox(owner);
  box->setWindowModality(Qt::ApplicationModal);
  box->setIcon(box_icon(message.icon));
  if (!message.caption.empty()) box->setWindowTitle(QString::fromStdString(message.caption));
  box->setText(QString::fromStdString(message.text));
  if (!message.detail.empty()) box->setInformativeText(QString::fromStdString(message.detail));
  box->setStandardButtons(QMessageBox::Ok);
  exec_owned(box);
}

void install_message_boxes() {
  set_message_sink({
      [](const UserMessage& message) { show_message_box(main_window, message); },
      [] {
        if (main_window != nullptr) {
          QMetaObject::invokeMethod(main_window, &QWidget::close, Qt::QueuedConnection);
        }
      },
  });
}

}  // namespace thumpa
