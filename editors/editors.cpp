#include "editors/editors.h"

#include <QDialog>

#include "editors/voice_editor.h"
#include "ui/center_dialog.h"
#include "ui/owned_dialog.h"

namespace thumpa {

void run_voice_editor(QWidget* owner, VoiceBank& bank, VoiceId voice, EditorHooks hooks) {
  auto* dialog = new QDialog(owner);
  if (!build_voice_editor(*dialog, bank, voice, std::move(hooks))) {
    delete dialog;
    return;
  }
  center_dialog(dialog, owner);
  exec_owned(dialog);
}

}  // namespace thumpa
