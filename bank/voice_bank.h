// The voice bank: every parameter, the eight rendered voices and their playback buffers. The
// bank operations render all voices and normalise each once; the editors rebuild one voice and
// shape it with its own shaping settings.
#pragma once

#include "synth/types.h"
#include "synth/voices.h"

namespace thumpa {

struct VoiceBank {
  BankParams params;
  // Indexed by VoiceId; entry 7 belongs to no voice and stays empty. The objects live as long
  // as the bank, so a reference to one stays valid across re-renders.
  VoiceBuffer voices[VOICE_ID_COUNT];
};

// Defaults, sine table, then every voice rendered, normalised once and given a buffer.
void init_voice_bank(VoiceBank& bank);
// Defaults again (shaping included), then every voice rendered as at start-up.
void reset_voice_bank(VoiceBank& bank);
// Every voice rendered again from the parameters the bank holds (after loading settings).
void rerender_voice_bank(VoiceBank& bank);

// The editors' rebuild of one voice: render, shape_voice, replace its playback buffer, with
// the editors' own failure messages.
void rebuild_voice(VoiceBank& bank, VoiceId id);

}  // namespace thumpa
