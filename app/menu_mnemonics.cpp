#include "app/menu_mnemonics.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMenu>

namespace thumpa {

namespace {

bool has_mnemonic(const QAction* action, QChar letter) {
  const QKeySequence mnemonic = QKeySequence::mnemonic(action->text());
  return !mnemonic.isEmpty() && mnemonic[0].key() == letter.toUpper().unicode();
}

}  // namespace

bool GreyedMnemonicSkipper::eventFilter(QObject* watched, QEvent* event) {
  auto* menu = qobject_cast<QMenu*>(watched);
  if (menu == nullptr || event->type() != QEvent::KeyPress) return false;
  const auto* key = static_cast<QKeyEvent*>(event);
  const Qt::KeyboardModifiers mods = key->modifiers() & ~(Qt::ShiftModifier | Qt::AltModifier);
  if (mods != Qt::NoModifier || key->text().size() != 1) return false;

  QList<QAction*> enabled;
  bool greyed_clash = false;
  for (QAction* action : menu->actions()) {
    if (action->isSeparator() || !action->isVisible() || !has_mnemonic(action, key->text()[0])) {
      continue;
    }
    if (action->isEnabled()) {
      enabled.append(action);
    } else {
      greyed_clash = true;
    }
  }
  if (!greyed_clash || enabled.isEmpty()) return false;  // Qt's own handling is right

  const qsizetype current = enabled.indexOf(menu->activeAction());
  menu->setActiveAction(enabled[(current + 1) % enabled.size()]);
  if (enabled.size() == 1) {
    // Run it as Enter would, so that the menus close the way they always do.
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(menu, &enter);
  }
  return true;
}

void skip_greyed_mnemonics(QMenu* menu) {
  menu->installEventFilter(new GreyedMnemonicSkipper(menu));
}

}  // namespace thumpa
