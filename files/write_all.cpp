#include "files/write_all.h"

#include <filesystem>

#include "files/wav_writer.h"
#include "synth/messages.h"

namespace thumpa {

bool write_all_wavs(const std::string& folder, const VoiceBuffer* const voices[VOICE_ID_COUNT]) {
  const VoiceBuffer no_samples;
  for (VoiceId id : FILE_ORDER) {
    const VoiceBuffer* voice = voices[id];
    std::string path = (std::filesystem::path(folder) / voice_facts(id).wav_name).string();
    if (!write_wav_file(voice ? *voice : no_samples, path)) return false;
  }
  show_message("All files written OK...", "Files written", MessageIcon::warning);
  return true;
}

}  // namespace thumpa
