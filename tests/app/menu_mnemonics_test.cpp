#include "app/menu_mnemonics.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QKeyEvent>
#include <QMenu>
#include <QTest>

namespace thumpa {
namespace {

struct Menu {
  QMenu menu;
  int triggered_as = 0;  // how often "&Save Settings As..." ran

  explicit Menu(std::initializer_list<std::pair<const char*, bool>> items) {
    for (auto [text, enabled] : items) {
      QAction* action = menu.addAction(QString::fromUtf8(text));
      action->setEnabled(enabled);
      if (QString::fromUtf8(text) == QStringLiteral("&Save Settings As...")) {
        QObject::connect(action, &QAction::triggered, [this] { ++triggered_as; });
      }
    }
    skip_greyed_mnemonics(&menu);
    menu.popup(QPoint(10, 10));
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&menu));
  }
  QString active() const { return menu.activeAction() ? menu.activeAction()->text() : QString(); }
  void press(char letter) { QTest::keyClick(&menu, letter); }
};

TEST(MenuMnemonics, ALetterThatOnlyOneEnabledItemHoldsRunsIt) {
  Menu file({{"&Reset", true}, {"&Save Settings", false}, {"&Save Settings As...", true}});
  file.press('s');
  EXPECT_EQ(file.triggered_as, 1);
  EXPECT_FALSE(file.menu.isVisible());
}

TEST(MenuMnemonics, ALetterThatSeveralEnabledItemsHoldCyclesThroughThem) {
  Menu menu({{"&Ant", false}, {"&Apple", true}, {"&Avocado", true}, {"&Banana", true}});
  menu.press('a');
  EXPECT_EQ(menu.active(), QStringLiteral("&Apple"));
  menu.press('a');
  EXPECT_EQ(menu.active(), QStringLiteral("&Avocado"));
  menu.press('a');
  EXPECT_EQ(menu.active(), QStringLiteral("&Apple"));
  EXPECT_TRUE(menu.menu.isVisible());
}

TEST(MenuMnemonics, MenusWithoutGreyedClashesKeepQtsOwnHandling) {
  Menu menu({{"&Open", true}, {"&Save Settings As...", true}, {"&Close", false}});
  menu.press('s');
  EXPECT_EQ(menu.triggered_as, 1);
}

}  // namespace
}  // namespace thumpa
