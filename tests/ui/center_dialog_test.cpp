#include "ui/center_dialog.h"

#include <gtest/gtest.h>

#include <QDialog>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace thumpa {
namespace {

struct PlacementCase {
  const char* name;
  QSize dialog;
  QRect owner;
  QRect work_area;
  QPoint expected;
};

const QRect SCREEN(0, 0, 1920, 1080);
const QRect BELOW_TOP_BAR(0, 40, 1920, 1040);

const PlacementCase CASES[] = {
    {"centred on the owner", {200, 100}, {100, 100, 800, 600}, SCREEN, {400, 350}},
    {"odd differences truncate toward zero", {200, 100}, {100, 100, 101, 51}, SCREEN, {51, 76}},
    {"owner off the left edge", {300, 200}, {-500, 100, 600, 400}, SCREEN, {0, 200}},
    {"owner off the right edge", {300, 200}, {1700, 100, 600, 400}, SCREEN, {1620, 200}},
    {"owner off the bottom", {300, 200}, {100, 1000, 600, 400}, SCREEN, {250, 880}},
    {"owner above a work area that starts lower",
     {300, 200},
     {100, -300, 600, 400},
     BELOW_TOP_BAR,
     {250, 40}},
    {"work area on a second screen",
     {300, 200},
     {1800, 100, 400, 300},
     {1920, 0, 1280, 1024},
     {1920, 150}},
    {"larger than the work area, centred left of it: left edge wins",
     {2000, 1200},
     {0, 0, 1920, 1080},
     SCREEN,
     {0, 0}},
    {"larger than the work area, centred inside: right edge on the area's",
     {2000, 1200},
     {500, 300, 1920, 1080},
     SCREEN,
     {-80, -120}},
};

TEST(CenteredPosition, KeepsTheDialogInsideTheWorkArea) {
  for (const PlacementCase& c : CASES) {
    EXPECT_EQ(centered_position(c.dialog, c.owner, c.work_area), c.expected) << c.name;
  }
}

TEST(CenterDialog, MovesTheDialogAgainstTheOwnersScreen) {
  QWidget owner;
  owner.setGeometry(-300, 50, 400, 300);
  QDialog dialog(&owner);
  dialog.resize(200, 150);
  center_dialog(&dialog, &owner);
  const QRect area = owner.screen()->availableGeometry();
  EXPECT_EQ(dialog.pos(),
            centered_position(dialog.frameGeometry().size(), owner.frameGeometry(), area));
  EXPECT_EQ(dialog.pos().x(), area.left());
  EXPECT_EQ(dialog.size(), QSize(200, 150));
}

}  // namespace
}  // namespace thumpa
