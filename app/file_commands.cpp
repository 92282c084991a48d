#include "app/file_commands.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

#include "bank/voice_bank.h"
#include "files/settings_file.h"
#include "files/wav_writer.h"
#include "files/write_all.h"

namespace thumpa {

namespace {

const char* const SETTINGS_FILTER = "Thumpa file (*.zog)";
const char* const SETTINGS_SUFFIX = "zog";
const char* const WAV_FILTER = "Wave file (*.wav)";
const char* const WAV_SUFFIX = "wav";

QString chosen_folder;

std::string local_path(const QString& path) {
  return QFile::encodeName(path).toStdString();
}

}  // namespace

QString last_chosen_folder() {
  return chosen_folder;
}

void remember_chosen_file(const QString& path) {
  chosen_folder = QFileInfo(path).absolutePath();
}

QString ask_file_name(QWidget* owner, FileDialogKind kind, const QString& filter,
                      const QString& default_suffix) {
  QFileDialog dialog(owner);
  dialog.setAcceptMode(kind == FileDialogKind::save ? QFileDialog::AcceptSave
                                                    : QFileDialog::AcceptOpen);
  // Any name is taken; only its folder must exist, so a missing file is reported by the
  // command that reads it.
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setNameFilter(filter);
  dialog.setDefaultSuffix(default_suffix);
  const bool chosen_exists = !chosen_folder.isEmpty() && QDir(chosen_folder).exists();
  dialog.setDirectory(chosen_exists ? chosen_folder : QDir::currentPath());
  for (;;) {
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    const QString path = dialog.selectedFiles().front();
    const QFileInfo info(path);
    if (info.dir().exists() && !info.isDir()) {
      remember_chosen_file(path);
      return path;
    }
    QMessageBox::warning(&dialog, dialog.windowTitle(),
                         QFileDialog::tr("%1\nPath does not exist.").arg(info.absolutePath()));
  }
}

bool open_settings(QWidget* owner, VoiceBank& bank) {
  const QString path = ask_file_name(owner, FileDialogKind::open, SETTINGS_FILTER, SETTINGS_SUFFIX);
  if (path.isEmpty()) return false;
  if (!read_settings_file(local_path(path), bank.params)) return false;
  rerender_voice_bank(bank);
  return true;
}

void save_settings_as(QWidget* owner, const BankParams& params) {
  const QString path = ask_file_name(owner, FileDialogKind::save, SETTINGS_FILTER, SETTINGS_SUFFIX);
  if (!path.isEmpty()) save_settings_file(local_path(path), params);
}

bool write_wav_as(QWidget* owner, const VoiceBuffer* voice) {
  if (voice == nullptr) return false;
  const QString path = ask_file_name(owner, FileDialogKind::save, WAV_FILTER, WAV_SUFFIX);
  if (path.isEmpty()) return false;
  return write_wav_file(*voice, local_path(path));
}

void write_all(const VoiceBank& bank) {
  const VoiceBuffer* voices[VOICE_ID_COUNT];
  for (int i = 0; i < VOICE_ID_COUNT; ++i) voices[i] = &bank.voices[i];
  write_all_wavs(local_path(chosen_folder), voices);
}

}  // namespace thumpa
