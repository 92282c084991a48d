// Running a modal dialog that belongs to its owner window. The dialog is made on the heap with
// the owner as its Qt parent, so an owner destroyed while the dialog is open takes the dialog
// with it; it is deleted here afterwards only if it still exists. A dialog on the stack, or in
// a unique_ptr, with a parent would be deleted twice in that case.
#pragma once

#include <QPointer>

namespace thumpa {

// Runs dialog->exec() and deletes the dialog; returns exec's result (QDialog::Rejected when the
// dialog went with its owner). `after` sees the dialog, still alive, before it is deleted.
template <class Dialog, class After>
int exec_owned(Dialog* dialog, After&& after) {
  QPointer<Dialog> alive(dialog);
  const int result = dialog->exec();
  if (alive.isNull()) return 0;  // QDialog::Rejected
  after(*dialog);
  delete alive.data();
  return result;
}

template <class Dialog>
int exec_owned(Dialog* dialog) {
  return exec_owned(dialog, [](Dialog&) {});
}

}  // namespace thumpa
