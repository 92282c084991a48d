// The settings file: every parameter record and the shaping settings of all sixteen slots as
// plain text, one signed decimal per line under a header per voice (129 lines, ".zog").
#pragma once

#include <string>
#include <string_view>

#include "synth/types.h"

namespace thumpa {

// The file's text: 129 lines, each ending in "\n".
std::string settings_text(const BankParams& params);

// Reads a settings text into params with a fixed sequence of scanning steps. A step that fails
// leaves its field as it was and the sequence goes on, so a short or damaged text changes only
// the fields it reaches. Never fails as a whole.
void read_settings_text(std::string_view text, BankParams& params);

// True when a line of the text, blanks aside, is one of the file's section headers ("Kick:",
// "Dist/Norm:"): the text is a settings file, however damaged, and not some other file.
bool has_settings_header(std::string_view text);

// Writes the file through a temporary file, so a failure leaves an existing file as it was.
// Shows "Cant open file for writing" when the file cannot be created, and a message naming
// the file and the reason for any later failure.
bool save_settings_file(const std::string& path, const BankParams& params);

// Shows "Cant open file for reading" and leaves params untouched when the file cannot be read;
// otherwise reads it as read_settings_text does and returns true, whatever the text holds.
bool read_settings_file(const std::string& path, BankParams& params);

}  // namespace thumpa
