#include "app/file_commands.h"

#include <QDir>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QPointer>
#include <QUrl>

#include "app/kits_folder.h"
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

std::string local_path(const QString& path) {
  return QFile::encodeName(path).toStdString();
}

// Icons and type names for the file dialogs from the name alone. Qt's own provider looks into
// files whose name does not tell their type, and a file such as /proc/kmsg then keeps the
// program waiting for ever; a pipe or a file on a slow network share would be no better.
class NameOnlyIconProvider : public QFileIconProvider {
 public:
  QIcon icon(IconType type) const override { return QFileIconProvider::icon(type); }
  QIcon icon(const QFileInfo& info) const override {
    if (info.isRoot()) return icon(Drive);
    return icon(info.isDir() ? Folder : File);
  }
  QString type(const QFileInfo& info) const override {
    if (info.isDir()) return QFileIconProvider::type(info);  // "Folder": asks nothing of files
    const QMimeType mime = names_.mimeTypeForFile(info.fileName(), QMimeDatabase::MatchExtension);
    return mime.isDefault() ? QFileDialog::tr("File") : mime.comment();
  }

 private:
  QMimeDatabase names_;
};

}  // namespace

QString kits_folder() {
  return designed_kits_folder(QStringLiteral(THUMPA_KITS_FROM_BIN));
}

// The folder a file read or written makes the chosen one.
QString folder_of(const QString& path) {
  return QFileInfo(path).absolutePath();
}

QString ask_file_name(QWidget* owner, FileDialogKind kind, const QString& filter,
                      const QString& default_suffix, const QString& start_folder,
                      const QString& proposed_name, const QString& sidebar_folder) {
  NameOnlyIconProvider icons;  // outlives the dialog, whose model uses it
  // On the heap, owned by its owner: an owner destroyed while it is open takes it along.
  QPointer<QFileDialog> dialog = new QFileDialog(owner);
  // Qt's own dialog, whatever the desktop offers: only it takes the icon provider and the
  // sidebar.
  dialog->setOption(QFileDialog::DontUseNativeDialog);
  dialog->setIconProvider(&icons);
  // Qt keeps the sidebar of the last dialog for every Qt program of the user: the places are
  // put back before the dialog goes, so the folder is offered here alone.
  const QList<QUrl> places = dialog->sidebarUrls();
  if (!sidebar_folder.isEmpty()) {
    dialog->setSidebarUrls(places + QList<QUrl>{QUrl::fromLocalFile(sidebar_folder)});
  }
  dialog->setAcceptMode(kind == FileDialogKind::save ? QFileDialog::AcceptSave
                                                     : QFileDialog::AcceptOpen);
  // Any name is taken; only its folder must exist, so a missing file is reported by the
  // command that reads it.
  dialog->setFileMode(QFileDialog::AnyFile);
  dialog->setNameFilter(filter);
  dialog->setDefaultSuffix(default_suffix);
  const bool start_exists = !start_folder.isEmpty() && QDir(start_folder).exists();
  dialog->setDirectory(start_exists ? start_folder : QDir::currentPath());
  if (!proposed_name.isEmpty()) dialog->selectFile(proposed_name);
  QString chosen;
  for (;;) {
    const int result = dialog->exec();
    if (dialog.isNull()) return {};
    if (result != QDialog::Accepted || dialog->selectedFiles().isEmpty()) break;
    const QString path = dialog->selectedFiles().front();
    const QFileInfo info(path);
    if (info.dir().exists() && !info.isDir()) {
      chosen = path;
      break;
    }
    QMessageBox::warning(dialog, dialog->windowTitle(),
                         QFileDialog::tr("%1\nPath does not exist.").arg(info.absolutePath()));
    if (dialog.isNull()) return {};
  }
  dialog->setSidebarUrls(places);
  delete dialog.data();
  return chosen;
}

QString open_settings(QWidget* owner, VoiceBank& bank, QString& chosen_folder) {
  const QString path = ask_file_name(owner, FileDialogKind::open, SETTINGS_FILTER, SETTINGS_SUFFIX,
                                     chosen_folder, {}, kits_folder());
  if (path.isEmpty() || !open_settings_file(path, bank, chosen_folder)) return {};
  return path;
}

bool open_settings_file(const QString& path, VoiceBank& bank, QString& chosen_folder) {
  if (!read_settings_file(local_path(path), bank.params)) return false;
  chosen_folder = folder_of(path);
  rerender_voice_bank(bank);
  return true;
}

QString save_settings_as(QWidget* owner, const BankParams& params, QString& chosen_folder) {
  const QString path =
      ask_file_name(owner, FileDialogKind::save, SETTINGS_FILTER, SETTINGS_SUFFIX, chosen_folder);
  if (path.isEmpty() || !save_settings_file(local_path(path), params)) return {};
  chosen_folder = folder_of(path);
  return path;
}

bool write_wav_as(QWidget* owner, const VoiceBuffer* voice, const QString& name,
                  QString& chosen_folder) {
  if (voice == nullptr) return false;
  const QString path =
      ask_file_name(owner, FileDialogKind::save, WAV_FILTER, WAV_SUFFIX, chosen_folder, name);
  if (path.isEmpty() || !write_wav_file(*voice, local_path(path))) return false;
  chosen_folder = folder_of(path);
  return true;
}

void write_all(const VoiceBank& bank, const QString& chosen_folder) {
  const VoiceBuffer* voices[VOICE_ID_COUNT];
  for (int i = 0; i < VOICE_ID_COUNT; ++i) voices[i] = &bank.voices[i];
  write_all_wavs(local_path(chosen_folder), voices);
}

}  // namespace thumpa
