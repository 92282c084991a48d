#include "app/about_box.h"

#include <QDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>

#include "ui/center_dialog.h"
#include "ui/dialog_units.h"
#include "ui/owned_dialog.h"

namespace thumpa {

namespace {

constexpr int ABOUT_WIDTH = 109;  // dialog units
constexpr int ABOUT_HEIGHT = 35;
constexpr int FIRST_FIELD_ID = 400;
constexpr int LAST_FIELD_ID = 405;
constexpr int SMALL_FONT_FIELD_ID = 405;

struct FieldTemplate {
  int id;
  const char* text;  // the version entry the field shows
  int x, y, width, height;
  Qt::Alignment alignment;
};

constexpr FieldTemplate ABOUT_FIELDS[] = {
    {400, "CompanyName", 5, 17, 42, 8, Qt::AlignLeft},
    {401, "FileDescription", 5, 5, 41, 8, Qt::AlignLeft},
    {402, "ProductVersion", 53, 5, 49, 8, Qt::AlignRight},
};

}  // namespace

QFont sans_font_with_cell_height(int cell) {
  QFont font(QStringLiteral("Sans Serif"));
  font.setStyleHint(QFont::SansSerif);
  font.setFixedPitch(false);
  int best = 1;
  for (int pixels = 1; pixels <= cell; ++pixels) {
    font.setPixelSize(pixels);
    if (QFontMetrics(font).height() <= cell) best = pixels;
  }
  font.setPixelSize(best);
  return font;
}

std::unique_ptr<QDialog> make_about_box(QWidget* owner, std::span<const VersionEntry> table) {
  auto dialog =
      std::make_unique<QDialog>(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  dialog->setWindowTitle(about_title(table));
  const DialogBaseUnits units = dialog_base_units(dialog->font());
  dialog->setFixedSize(dialog_rect(units, 0, 0, ABOUT_WIDTH, ABOUT_HEIGHT).size());

  auto* ok = new QPushButton(QStringLiteral("OK"), dialog.get());
  ok->setObjectName(QStringLiteral("ok"));
  ok->setGeometry(dialog_rect(units, 70, 15, 32, 14));
  ok->setDefault(true);
  QObject::connect(ok, &QPushButton::clicked, dialog.get(), &QDialog::accept);

  const QFont large = sans_font_with_cell_height(ABOUT_LARGE_FONT_CELL);
  const QFont small = sans_font_with_cell_height(ABOUT_SMALL_FONT_CELL);
  for (int id = FIRST_FIELD_ID; id <= LAST_FIELD_ID; ++id) {
    for (const FieldTemplate& field : ABOUT_FIELDS) {
      if (field.id != id) continue;
      auto* label = new QLabel(dialog.get());
      label->setObjectName(QStringLiteral("field_%1").arg(id));
      label->setGeometry(dialog_rect(units, field.x, field.y, field.width, field.height));
      label->setAlignment(field.alignment | Qt::AlignTop);
      label->setTextFormat(Qt::PlainText);
      label->setText(version_field_text(table, QString::fromUtf8(field.text)));
      label->setFont(id == SMALL_FONT_FIELD_ID ? small : large);
    }
  }
  ok->setFocus();
  center_dialog(dialog.get(), owner);
  return dialog;
}

void run_about_box(QWidget* owner) {
  exec_owned(make_about_box(owner).release());
}

}  // namespace thumpa
