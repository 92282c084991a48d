#include "app/kits_folder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace thumpa {

QString designed_kits_folder(const QString& from_program) {
  const QString installed = QDir(QCoreApplication::applicationDirPath()).filePath(from_program);
  if (QFileInfo(installed).isDir()) return QDir::cleanPath(installed);
  const QString source = QStringLiteral(THUMPA_SOURCE_KITS);
  return QFileInfo(source).isDir() ? source : QString();
}

}  // namespace thumpa
