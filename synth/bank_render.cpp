#include "synth/bank_render.h"

#include "synth/shaping.h"

namespace thumpa {

void render_voice(const BankParams& params, VoiceId id, VoiceBuffer& voice) {
  voice.clear();
  if (is_voice(id)) voice_facts(id).render(voice, params);
}

std::optional<VoiceId> render_bank(const BankParams& params,
                                   VoiceBuffer (&voices)[VOICE_ID_COUNT]) {
  for (VoiceId id : RENDER_ORDER) {
    VoiceBuffer& voice = voices[id];
    render_voice(params, id, voice);
    if (voice.empty()) return id;
    normalize_voice(voice);
  }
  return std::nullopt;
}

}  // namespace thumpa
