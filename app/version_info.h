// The program's version information: the entries the About box shows, compiled in.
#pragma once

#include <QString>
#include <span>

namespace thumpa {

struct VersionEntry {
  const char* name;
  const char* value;
};

std::span<const VersionEntry> version_table();

// The code a field shows as "Error %lu" when its entry is missing or empty: the system's
// "resource type not found" (1813).
inline constexpr unsigned long VERSION_ENTRY_MISSING = 1813;

// The value of the named entry, or "Error 1813" when the table has none or it is empty.
QString version_field_text(std::span<const VersionEntry> table, const QString& name);

// "About " followed by the ProductName entry; plain "About" without one.
QString about_title(std::span<const VersionEntry> table);

}  // namespace thumpa
