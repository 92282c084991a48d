// "Write All": every voice of the bank as a WAV file under a fixed name.
#pragma once

#include <string>

#include "synth/types.h"
#include "synth/voices.h"

namespace thumpa {

// Writes the eight voices (indexed by VoiceId; a null entry is written as an empty voice) into
// folder, or the current folder when it is empty, in FILE_ORDER, each under its wav_name. Stops at
// the first file that fails, whose message has been shown; when all succeed shows "All files
// written OK...". Returns whether all eight were written.
bool write_all_wavs(const std::string& folder, const VoiceBuffer* const voices[VOICE_ID_COUNT]);

}  // namespace thumpa
