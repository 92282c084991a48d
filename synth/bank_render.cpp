// Rendering one voice of the bank from its record, without shaping or playback: shared by the
// bank operations, the editors and thumpa-render.
#include "synth/generators.h"
#include "synth/voice_bank.h"

namespace thumpa {

void render_bank_voice(VoiceBank& bank, VoiceId id) {
  VoiceBuffer& voice = bank.voices[id];
  voice.clear();  // the old samples go before the new ones are made
  const BankParams& p = bank.params;
  switch (id) {
    case VOICE_BLIPP:
      make_blipp(voice, p.blipp);
      break;
    case VOICE_CLAVE:
      make_clave(voice, p.clave);
      break;
    case VOICE_CLOSED_HAT:
      make_hat(voice, p.closed);
      break;
    case VOICE_KICK:
      make_kick(voice, p.kick);
      break;
    case VOICE_OPEN_HAT:
      make_hat(voice, p.open);
      break;
    case VOICE_SNARE:
      make_snare(voice, p.snare);
      break;
    case VOICE_COWBELL:
      make_cowbell(voice, p.cowbell);
      break;
    case VOICE_OSCILLATOR:
      make_oscillator(voice, p.osc);
      break;
  }
}

}  // namespace thumpa
