// The texts of the main window's status line: which voice is shown, which sound output plays
// (with its period and latency), where MIDI comes from, and the settings file last opened or
// saved. Pure functions of what they describe, so the window only shows what they say.
#pragma once

#include <QString>
#include <optional>

#include "audio/sound_device.h"
#include "synth/types.h"

namespace thumpa {

struct StatusTexts {
  QString voice;     // "Shown: Kick"
  QString output;    // "PipeWire, 256 frames, 5.8 ms", "no sound output"
  QString midi;      // "MIDI: ALSA port Thumpa", "no MIDI input"
  QString settings;  // "Settings: kit.zog", "no settings file"

  friend bool operator==(const StatusTexts&, const StatusTexts&) = default;
};

StatusTexts status_texts(std::optional<VoiceId> shown_voice, const SoundOutputStatus& output,
                         const QString& settings_file);

}  // namespace thumpa
