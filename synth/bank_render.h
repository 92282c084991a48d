// Rendering the bank's voices from its parameters: records in, voices out. No playback and no
// messages here; the voice bank above gives the voices their playback buffers and speaks.
#pragma once

#include <optional>

#include "synth/types.h"
#include "synth/voices.h"

namespace thumpa {

// Renders one voice from its record, replacing what the buffer held (no shaping). The old
// samples go before the new ones are made. VoiceId 7 leaves the buffer empty.
void render_voice(const BankParams& params, VoiceId id, VoiceBuffer& voice);

// Renders every voice in RENDER_ORDER and normalises each once, whatever its shaping settings
// say. Stops at the first voice that cannot be rendered and returns it: that voice is left
// empty and the later ones keep what they held.
std::optional<VoiceId> render_bank(const BankParams& params, VoiceBuffer (&voices)[VOICE_ID_COUNT]);

}  // namespace thumpa
