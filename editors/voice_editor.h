// The editor dialogs built from their templates and bound to one voice of the bank.
#pragma once

#include <functional>

#include "editors/dialog_templates.h"
#include "editors/editors.h"
#include "synth/types.h"

class QDialog;
class QWidget;

namespace thumpa {

struct VoiceBank;

// Creates the template's controls in the empty dialog, in template order, each named by its id
// (objectName "1036"), placed by its dialog units converted with the dialog font's base
// units.
void build_from_template(QDialog& dialog, const DialogTemplate& dialog_template);

// Builds the editor of the voice (0 to 6 or 8) into an empty dialog: the controls, the voice's
// title, captions, texts and check marks, and the handlers of OK, Apply, Test and Cancel.
// Returns false, leaving the dialog untouched, for a VoiceId that has no editor.
bool build_voice_editor(QDialog& dialog, VoiceBank& bank, VoiceId voice, EditorHooks hooks);

}  // namespace thumpa
