// Where the designed kits are, for the desktop program and the plugin's window alike.
#pragma once

#include <QString>

namespace thumpa {

// The designed kits: `from_program` (a path relative to the running program's folder) when
// they are installed there, else the source tree's kits folder (a program run from its build
// tree); empty when neither exists.
QString designed_kits_folder(const QString& from_program);

}  // namespace thumpa
