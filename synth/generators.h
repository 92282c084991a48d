// The voice generators. Each renders its voice from a read-only record into a VoiceBuffer,
// replacing what the buffer held; the same record always yields the same samples.
// SineTable must have been filled first.
#pragma once

#include "synth/types.h"

namespace thumpa {

void make_kick(VoiceBuffer& voice, const KickParams& p);
void make_snare(VoiceBuffer& voice, const SnareParams& p);
void make_hat(VoiceBuffer& voice, const HatParams& p);
void make_blipp(VoiceBuffer& voice, const BlippParams& p);
void make_clave(VoiceBuffer& voice, const ClaveParams& p);
void make_cowbell(VoiceBuffer& voice, const CowbellParams& p);
void make_oscillator(VoiceBuffer& voice, const OscParams& p);

}  // namespace thumpa
