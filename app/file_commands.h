// The file commands of the main window: settings files and WAV files, each asking for a name
// with a file dialog. "Write &All" writes into the folder of the last file that one of these
// commands read or wrote during this run, or into the current folder before any did.
#pragma once

#include <QString>

#include "synth/types.h"

class QWidget;

namespace thumpa {

struct VoiceBank;

// The designed kits (<prefix>/share/thumpa/kits beside the program, or the source tree's
// kits folder when none is installed there, as for a program run from its build tree); empty
// when neither exists.
QString kits_folder();

// Asks for a ".zog" file, with the kits folder in the dialog's sidebar, and reads it into the
// bank's parameters; on success every voice is rendered again and the file's path comes back (the
// caller repaints), otherwise nothing. `chosen_folder` is the session's: the folder of the last
// file read or written through a file dialog, or empty before any was. Each command that succeeds
// in a folder makes it the chosen one.
QString open_settings(QWidget* owner, VoiceBank& bank, QString& chosen_folder);
// What Open Settings does once it has the file's path; also for a file named on the command line.
bool open_settings_file(const QString& path, VoiceBank& bank, QString& chosen_folder);
// Returns the path of the file written, or nothing.
QString save_settings_as(QWidget* owner, const BankParams& params, QString& chosen_folder);
// Writes the voice (the shown voice) to a chosen ".wav" file, proposing `name` in the chosen
// folder; false when nothing was written.
bool write_wav_as(QWidget* owner, const VoiceBuffer* voice, const QString& name,
                  QString& chosen_folder);
void write_all(const VoiceBank& bank, const QString& chosen_folder);

enum class FileDialogKind { open, save };

// The file dialog of the commands: one filter ("Thumpa file (*.zog)"), the default suffix
// added to a name typed without one, the overwrite prompt when saving, and a folder that must
// exist. Starts in start_folder (the current folder when it is empty or gone), with
// `proposed_name` in the name field, and `sidebar_folder` (when given) added to the places in
// its sidebar. It is Qt's own dialog, never the desktop's. Its icons and file types come from the
// names alone: it never opens a file. Returns the chosen path, or empty on cancel.
QString ask_file_name(QWidget* owner, FileDialogKind kind, const QString& filter,
                      const QString& default_suffix, const QString& start_folder,
                      const QString& proposed_name = {}, const QString& sidebar_folder = {});

}  // namespace thumpa
