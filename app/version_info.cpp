#include "app/version_info.h"

#include <array>
#include <cstring>

namespace thumpa {

namespace {

constexpr std::array<VersionEntry, 6> VERSION_TABLE = {{
    {"CompanyName", "Thumpa Co."},
    {"FileDescription", "Thumpa"},
    {"FileVersion", "0.1a"},
    {"InternalName", "Thumpa"},
    {"ProductName", "Thumpa"},
    {"ProductVersion", "0.1a"},
}};

const char* find_value(std::span<const VersionEntry> table, const QString& name) {
  for (const VersionEntry& entry : table) {
    if (name == QLatin1String(entry.name)) return entry.value;
  }
  return nullptr;
}

}  // namespace

std::span<const VersionEntry> version_table() {
  return VERSION_TABLE;
}

QString version_field_text(std::span<const VersionEntry> table, const QString& name) {
  const char* value = find_value(table, name);
  if (value == nullptr || *value == '\0') {
    return QStringLiteral("Error %1").arg(VERSION_ENTRY_MISSING);
  }
  return QString::fromUtf8(value);
}

QString about_title(std::span<const VersionEntry> table) {
  const char* product = find_value(table, QStringLiteral("ProductName"));
  if (product == nullptr || *product == '\0') return QStringLiteral("About");
  return QStringLiteral("About ") + QString::fromUtf8(product);
}

}  // namespace thumpa
