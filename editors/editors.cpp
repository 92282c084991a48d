#include "editors/editors.h"

#include <QDialog>

#include "app/center_dialog.h"
#include "editors/voice_editor.h"

namespace thumpa {

void run_voice_editor(QWidget* main_window, VoiceBank& bank, VoiceId voice,
                      const std::function<void(int command)>& send_command) {
  QDialog dialog(main_window);
  if (!build_voice_editor(dialog, main_window, bank, voice, send_command)) return;
  center_dialog(&dialog, main_window);
  dialog.exec();
}

}  // namespace thumpa
