// Menu mnemonics that skip greyed items. Qt counts a greyed item that shares its mnemonic with
// others as a clash, yet cannot highlight it, so pressing the letter again never moves on:
// "&Save Settings" (greyed) would keep "&Save Settings As..." out of reach of its S. Here only
// enabled items count: a letter that one enabled item holds runs it, a letter that several
// hold moves the highlight to the next of them.
#pragma once

#include <QObject>

class QMenu;

namespace thumpa {

class GreyedMnemonicSkipper : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
};

// Gives the popup menu this handling of its mnemonics.
void skip_greyed_mnemonics(QMenu* menu);

}  // namespace thumpa
