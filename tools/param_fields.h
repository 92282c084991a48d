// The parameters of each voice by name, as thumpa-render's --set option names them: the
// fields of the voice's record, and its four shaping settings.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "synth/types.h"

namespace thumpa {

struct VoiceName {
  const char* name;
  VoiceId id;
};

// blipp clave closed open kick snare cowbell oscillator
std::span<const VoiceName> voice_names();
std::optional<VoiceId> voice_by_name(std::string_view name);

// The stored 32-bit value of a named field of a voice (its record or its shaping slot); null
// when the voice has no field of that name.
std::int32_t* find_param(BankParams& params, VoiceId voice, std::string_view field);

// The field names of a voice, its shaping settings last, for messages.
std::vector<std::string_view> param_names(VoiceId voice);

}  // namespace thumpa
