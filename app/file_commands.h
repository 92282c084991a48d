// The file commands of the main window: settings files and WAV files, each asking for a name
// with a file dialog. "Write &All" writes into the folder of the last file that one of these
// commands read or wrote during this run, or into the current folder before any did.
#pragma once

#include <QString>

#include "synth/types.h"

class QWidget;

namespace thumpa {

struct VoiceBank;

// Asks for a ".zog" file and reads it into the bank's parameters; on success every voice is
// rendered again and true comes back (the caller repaints).
bool open_settings(QWidget* owner, VoiceBank& bank);
void save_settings_as(QWidget* owner, const BankParams& params);
// Writes the voice (the shown voice) to a chosen ".wav" file; false when nothing was written.
bool write_wav_as(QWidget* owner, const VoiceBuffer* voice);
void write_all(const VoiceBank& bank);

// The folder of the last file read or written through a file dialog, or empty before any was.
QString last_chosen_folder();
// Records the folder of a file read or written as the one "Write &All" writes into.
void remember_chosen_file(const QString& path);

enum class FileDialogKind { open, save };

// The file dialog of the commands: one filter ("Thumpa file (*.zog)"), the default suffix
// added to a name typed without one, the overwrite prompt when saving, and a folder that must
// exist. Starts in the last chosen folder. Its icons and file types come from the names alone:
// it never opens a file. Returns the chosen path, or empty on cancel.
QString ask_file_name(QWidget* owner, FileDialogKind kind, const QString& filter,
                      const QString& default_suffix);

}  // namespace thumpa
