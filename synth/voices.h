// The eight voices of the bank: one table of everything the program says about each voice,
// indexed by VoiceId, and the orders in which the program goes through them.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "synth/generators.h"
#include "synth/types.h"

namespace thumpa {

inline constexpr int VOICE_COUNT = 8;
inline constexpr int VOICE_ID_COUNT = 9;  // VoiceId 7 belongs to no voice

// Renders the voice from its record in the bank's parameters, replacing what the buffer held.
using VoiceRender = void (*)(VoiceBuffer& voice, const BankParams& params);

struct VoiceFacts {
  const char* cli_name;         // thumpa-render's --voice
  const char* wav_name;         // the file "Write All" writes
  const char* settings_header;  // the header of its section in the settings file
  const char* editor_title;
  // The bank's words when the voice cannot be rendered, or gets no playback buffer.
  const char* bank_render_failure;
  const char* bank_buffer_failure;
  // The editors' words for the same failures.
  const char* editor_render_failure;
  const char* editor_buffer_failure;
  const char* menu_text;  // the same text in the Edit, Play and Show menus
  VoiceRender render;
  int play_command;
  int edit_command;
  int show_command;
  int digit;  // main-row digit key that plays it
};

// Indexed by VoiceId; entry 7 is empty (no render, no texts).
inline constexpr std::array<VoiceFacts, VOICE_ID_COUNT> VOICES = {{
    {"blipp", "blipp.wav", "Blipp:", "Edit Blipp", "Can't make blipp!", "Can't make blipp buffer!",
     "Can't make blipp!", "Can't make blipp buffer!", "&Blipp",
     [](VoiceBuffer& v, const BankParams& p) { make_blipp(v, p.blipp); }, 600, 40010, 40037, 1},
    {"clave", "clave.wav", "Clave:", "Edit Clave", "Can't make clave!", "Can't make Clave buffer!",
     "Can't make clave!", "Can't make clave buffer!", "&Clave",
     [](VoiceBuffer& v, const BankParams& p) { make_clave(v, p.clave); }, 601, 40011, 40038, 2},
    {"closed", "ch.wav", "Closed:", "Edit Closed Hi-hat", "Can't make closed!",
     "Can't make Ch buffer!", "Can't make closed hi-hat!", "Can't make closed hi-hat buffer!",
     "C&losed", [](VoiceBuffer& v, const BankParams& p) { make_hat(v, p.closed); }, 602, 40013,
     40039, 3},
    {"kick", "kick.wav", "Kick:", "Edit Kick", "Can't make kick!", "Can't make Kick buffer!",
     "Can't make kick!", "Can't make kick buffer!", "&Kick",
     [](VoiceBuffer& v, const BankParams& p) { make_kick(v, p.kick); }, 603, 40017, 40041, 5},
    {"open", "oh.wav", "Open:", "Edit Open Hi-hat", "Can't make open!", "Can't make Oh buffer!",
     "Can't make open hi-hat!", "Can't make open hi-hat buffer!", "&Open",
     [](VoiceBuffer& v, const BankParams& p) { make_hat(v, p.open); }, 604, 40012, 40040, 4},
    {"snare", "snare1.wav", "Snare:", "Edit Snare", "Can't make snare1!",
     "Can't make Snare buffer!", "Can't make snare!", "Can't make snare buffer!", "&Snare",
     [](VoiceBuffer& v, const BankParams& p) { make_snare(v, p.snare); }, 40048, 40051, 40042, 6},
    {"cowbell", "cowbell.wav", "Cowbell:", "Edit Cowbell", "Can't make cowbell!",
     "Can't make Cowbell buffer!", "Can't make cowbell!", "Can't make cowbell buffer!", "Co&wbell",
     [](VoiceBuffer& v, const BankParams& p) { make_cowbell(v, p.cowbell); }, 40049, 40050, 40047,
     7},
    {},
    {"oscillator", "osc.wav", "Oscillator:", "Edit Oscillator", "Can't make oscillator!",
     "Can't make Oscillator buffer!", "Can't make oscillator!", "Can't make oscillator buffer!",
     "Osc&illator", [](VoiceBuffer& v, const BankParams& p) { make_oscillator(v, p.osc); }, 608,
     40019, 40045, 9},
}};

using VoiceOrder = std::array<VoiceId, VOICE_COUNT>;

// The menus list the voices in this order, and the playback-buffer slots are kept in it.
inline constexpr VoiceOrder MENU_ORDER = {VOICE_BLIPP,    VOICE_CLAVE,     VOICE_CLOSED_HAT,
                                          VOICE_OPEN_HAT, VOICE_KICK,      VOICE_SNARE,
                                          VOICE_COWBELL,  VOICE_OSCILLATOR};
// The bank renders in this order.
inline constexpr VoiceOrder RENDER_ORDER = {VOICE_BLIPP,   VOICE_CLOSED_HAT, VOICE_OPEN_HAT,
                                            VOICE_CLAVE,   VOICE_KICK,       VOICE_SNARE,
                                            VOICE_COWBELL, VOICE_OSCILLATOR};
// The settings file's sections and the files of "Write All" come in this order.
inline constexpr VoiceOrder FILE_ORDER = {VOICE_KICK,     VOICE_SNARE,     VOICE_CLOSED_HAT,
                                          VOICE_OPEN_HAT, VOICE_BLIPP,     VOICE_CLAVE,
                                          VOICE_COWBELL,  VOICE_OSCILLATOR};

// True for the eight VoiceIds that name a voice.
inline constexpr bool is_voice(std::int32_t id) {
  return id >= 0 && id < VOICE_ID_COUNT && VOICES[static_cast<std::size_t>(id)].render != nullptr;
}

inline constexpr const VoiceFacts& voice_facts(VoiceId id) {
  return VOICES[static_cast<std::size_t>(id)];
}

// Index of a voice's playback-buffer slot (its place in MENU_ORDER); -1 for VoiceId 7 and
// values outside 0..8.
inline constexpr int playback_slot(std::int32_t id) {
  for (int i = 0; i < VOICE_COUNT; ++i) {
    if (MENU_ORDER[static_cast<std::size_t>(i)] == id) return i;
  }
  return -1;
}

// The voice thumpa-render calls by this name.
inline std::optional<VoiceId> voice_by_cli_name(std::string_view name) {
  for (VoiceId id : MENU_ORDER) {
    if (name == voice_facts(id).cli_name) return id;
  }
  return std::nullopt;
}

}  // namespace thumpa
