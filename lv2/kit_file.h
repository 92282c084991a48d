// Reading a kit, a settings file (.zog) the desktop program saved, for a running plugin
// instance. Not real-time: it opens and reads a file, in the host's worker thread.
#pragma once

#include <cstddef>
#include <string>

#include "synth/types.h"

namespace thumpa {

// The longest kit path taken, with its NUL: Linux's own limit.
inline constexpr std::size_t MAX_KIT_PATH = 4096;

// A settings file larger than this is not one: the program writes 129 short lines.
inline constexpr std::size_t MAX_KIT_BYTES = 1 << 20;

// Reads the file into params with the program's tolerant settings reader (fields the text does
// not reach keep their values). Returns "" when read, else why the file could not be read or is
// no settings file (not one line of it is a section header), and params are left as they were.
std::string read_kit_file(const char* path, BankParams& params);

}  // namespace thumpa
