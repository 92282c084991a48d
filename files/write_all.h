// "Write All": every voice of the bank as a WAV file under a fixed name.
#pragma once

#include <array>
#include <string>

#include "synth/types.h"
#include "synth/voices.h"

namespace thumpa {

struct WriteAllEntry {
  VoiceId voice;
  const char* file_name;
};

// The files of "Write All" in the order written.
inline constexpr std::array<WriteAllEntry, VOICE_COUNT> WRITE_ALL_ORDER = {{
    {VOICE_KICK, "kick.wav"},
    {VOICE_SNARE, "snare1.wav"},
    {VOICE_CLOSED_HAT, "ch.wav"},
    {VOICE_OPEN_HAT, "oh.wav"},
    {VOICE_BLIPP, "blipp.wav"},
    {VOICE_CLAVE, "clave.wav"},
    {VOICE_COWBELL, "cowbell.wav"},
    {VOICE_OSCILLATOR, "osc.wav"},
}};

// Writes the eight voices (indexed by VoiceId; a null entry is written as an empty voice) into
// folder, or the current folder when it is empty, in the order of WRITE_ALL_ORDER. Stops at the
// first file that fails, whose message has been shown; when all succeed shows
// "All files written OK...". Returns whether all eight were written.
bool write_all_wavs(const std::string& folder, const VoiceBuffer* const voices[VOICE_ID_COUNT]);

}  // namespace thumpa
