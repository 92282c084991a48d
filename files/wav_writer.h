// Writes one voice as a 16-bit PCM mono 44100 Hz WAV file.
#pragma once

#include <cstddef>
#include <string>

#include "synth/types.h"

namespace thumpa {

// The two points at which writing a WAV file can fail, with the texts shown for them
// (file name, then the system's reason).
inline constexpr int WAV_WRITE_FAILED = 114;  // creating, writing, syncing, closing, replacing
inline constexpr const char* WAV_WRITE_FAILED_TEXT = "Can't write the WAV file \"%s\": %s";
inline constexpr int WAV_BUFFER_FAILED = 115;  // the write buffer could not be had
inline constexpr const char* WAV_BUFFER_FAILED_TEXT =
    "Can't get a write buffer for the WAV file \"%s\": %s";

inline constexpr std::uint32_t WAV_HEADER_BYTES = 44;

// Each Q31 sample s is stored as s / 65536 truncated toward zero. On failure the message is
// shown (exclamation icon, no caption of its own), an existing file of that name is left as it
// was, and false comes back.
bool write_wav_file(const VoiceBuffer& voice, const std::string& path);
// The same with a write buffer of the given size in bytes (the other uses 64 KiB).
bool write_wav_file(const VoiceBuffer& voice, const std::string& path, std::size_t buffer_size);

// The 16-bit value stored for a Q31 sample.
inline std::int16_t wav_sample(Q31 s) {
  return static_cast<std::int16_t>(s / 65536);
}

}  // namespace thumpa
