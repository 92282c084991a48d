#include "bank/voice_bank.h"

#include <optional>

#include "audio/sound_device.h"
#include "synth/bank_render.h"
#include "synth/messages.h"
#include "synth/shaping.h"
#include "synth/sine_table.h"

namespace thumpa {

namespace {

void error(const char* text) {
  show_message(text, "", MessageIcon::error);
}

// Renders every voice and gives each rendered voice its new playback buffer, in render order.
// A voice that cannot be rendered keeps its old playback buffer, asks for the main window to
// be destroyed and ends the operation: the program is ending, so the remaining voices are
// neither rendered nor reported. The messages are shown once the whole operation is over.
void render_all(VoiceBank& bank) {
  with_messages_held([&bank] {
    const std::optional<VoiceId> failed = render_bank(bank.params, bank.voices);
    for (VoiceId id : RENDER_ORDER) {
      if (id == failed) {
        show_message(voice_facts(id).bank_render_failure, "", MessageIcon::warning);
        request_destroy_main_window();
        return;
      }
      if (!replace_playback_buffer(playback_slot(id), bank.voices[id])) {
        error(voice_facts(id).bank_buffer_failure);
      }
    }
  });
}

}  // namespace

void init_voice_bank(VoiceBank& bank) {
  bank.params = BankParams{};
  fill_sine_table();
  render_all(bank);
}

void reset_voice_bank(VoiceBank& bank) {
  bank.params = BankParams{};
  render_all(bank);
}

void rerender_voice_bank(VoiceBank& bank) {
  render_all(bank);
}

void rebuild_voice(VoiceBank& bank, VoiceId id) {
  if (!is_voice(id)) return;
  VoiceBuffer& voice = bank.voices[id];
  render_voice(bank.params, id, voice);
  if (voice.empty()) {
    error(voice_facts(id).editor_render_failure);  // the old playback buffer keeps sounding
    return;
  }
  shape_voice(id, voice, bank.params.shaping);
  if (!replace_playback_buffer(playback_slot(id), voice)) {
    error(voice_facts(id).editor_buffer_failure);
  }
}

}  // namespace thumpa
