// The About box: a small modal dialog whose title and fields come from the program's version
// information. Each field's template text names the entry that replaces it.
#pragma once

#include <QFont>
#include <memory>
#include <span>

#include "app/version_info.h"

class QDialog;
class QWidget;

namespace thumpa {

inline constexpr int ABOUT_LARGE_FONT_CELL = 14;
inline constexpr int ABOUT_SMALL_FONT_CELL = 11;

// A variable-pitch sans-serif font whose character cell (ascent plus descent) is as tall as
// possible without exceeding `cell` pixels.
QFont sans_font_with_cell_height(int cell);

// The box, filled and centred on its owner but not yet shown. Field controls are named
// "field_<id>" (400 CompanyName, 401 FileDescription, 402 ProductVersion).
std::unique_ptr<QDialog> make_about_box(QWidget* owner,
                                        std::span<const VersionEntry> table = version_table());

// Opens the box modally; OK, Enter and Escape close it.
void run_about_box(QWidget* owner);

}  // namespace thumpa
