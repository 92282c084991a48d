#include "app/about_box.h"

#include <gtest/gtest.h>

#include <QDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QTest>

namespace thumpa {
namespace {

QString field(const QDialog& dialog, int id) {
  const auto* label = dialog.findChild<QLabel*>(QStringLiteral("field_%1").arg(id));
  return label != nullptr ? label->text() : QStringLiteral("<no field>");
}

TEST(AboutBox, ShowsTheVersionInformation) {
  const auto dialog = make_about_box(nullptr);
  EXPECT_EQ(dialog->windowTitle(), QStringLiteral("About Thumpa"));
  EXPECT_EQ(field(*dialog, 400), QStringLiteral("Thumpa Co."));
  EXPECT_EQ(field(*dialog, 401), QStringLiteral("Thumpa"));
  EXPECT_EQ(field(*dialog, 402), QStringLiteral("0.1a"));
  EXPECT_EQ(dialog->findChildren<QLabel*>().size(), 3);
  const auto* version = dialog->findChild<QLabel*>(QStringLiteral("field_402"));
  EXPECT_TRUE(version->alignment() & Qt::AlignRight);
  // File description top left, company name below it, product version on the right.
  const auto* company = dialog->findChild<QLabel*>(QStringLiteral("field_400"));
  const auto* description = dialog->findChild<QLabel*>(QStringLiteral("field_401"));
  EXPECT_EQ(company->x(), description->x());
  EXPECT_GT(company->y(), description->y());
  EXPECT_GT(version->x(), description->x());
}

TEST(AboutBox, AMissingOrEmptyEntryShowsError1813) {
  const VersionEntry partial[] = {{"ProductName", "Zed"}, {"FileDescription", ""}};
  const auto dialog = make_about_box(nullptr, partial);
  EXPECT_EQ(dialog->windowTitle(), QStringLiteral("About Zed"));
  EXPECT_EQ(field(*dialog, 400), QStringLiteral("Error 1813"));
  EXPECT_EQ(field(*dialog, 401), QStringLiteral("Error 1813"));
  EXPECT_EQ(field(*dialog, 402), QStringLiteral("Error 1813"));
  EXPECT_EQ(about_title({}), QStringLiteral("About"));
}

TEST(AboutBox, FieldsUseTheLargeSansSerifFont) {
  const QFont large = sans_font_with_cell_height(ABOUT_LARGE_FONT_CELL);
  const QFont small = sans_font_with_cell_height(ABOUT_SMALL_FONT_CELL);
  EXPECT_LE(QFontMetrics(large).height(), 14);
  EXPECT_LE(QFontMetrics(small).height(), 11);
  EXPECT_GT(large.pixelSize(), small.pixelSize());
  EXPECT_EQ(large.styleHint(), QFont::SansSerif);
  EXPECT_FALSE(large.italic() || large.underline() || large.strikeOut());
  const auto dialog = make_about_box(nullptr);
  for (const QLabel* label : dialog->findChildren<QLabel*>()) {
    EXPECT_EQ(label->font().pixelSize(), large.pixelSize()) << label->objectName().toStdString();
  }
}

TEST(AboutBox, OkEnterAndEscapeCloseIt) {
  for (int how = 0; how < 3; ++how) {
    const auto dialog = make_about_box(nullptr);
    dialog->open();
    ASSERT_TRUE(dialog->isVisible());
    if (how == 0) {
      QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("ok")), Qt::LeftButton);
    } else {
      QTest::keyClick(dialog.get(), how == 1 ? Qt::Key_Return : Qt::Key_Escape);
    }
    EXPECT_FALSE(dialog->isVisible()) << how;
  }
}

TEST(AboutBox, OpensCentredOnItsOwner) {
  QWidget owner;
  owner.setGeometry(100, 80, 600, 400);
  const auto dialog = make_about_box(&owner);
  const QRect frame = dialog->frameGeometry();
  EXPECT_EQ(frame.x(), 100 + (600 - frame.width()) / 2);
  EXPECT_EQ(frame.y(), 80 + (400 - frame.height()) / 2);
}

}  // namespace
}  // namespace thumpa
