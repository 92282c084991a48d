#include "synth/voice_bank.h"

#include "audio/sound_device.h"
#include "synth/messages.h"
#include "synth/shaping.h"
#include "synth/sine_table.h"

namespace thumpa {

VoiceBank voice_bank;

namespace {

struct BankVoice {
  VoiceId id;
  const char* voice_message;   // the bank's words when the voice cannot be rendered
  const char* buffer_message;  // ... and when it gets no playback buffer
};

// The bank renders in this order.
constexpr BankVoice RENDER_ORDER[VOICE_COUNT] = {
    {VOICE_BLIPP, "Can't make blipp!", "Can't make blipp buffer!"},
    {VOICE_CLOSED_HAT, "Can't make closed!", "Can't make Ch buffer!"},
    {VOICE_OPEN_HAT, "Can't make open!", "Can't make Oh buffer!"},
    {VOICE_CLAVE, "Can't make clave!", "Can't make Clave buffer!"},
    {VOICE_KICK, "Can't make kick!", "Can't make Kick buffer!"},
    {VOICE_SNARE, "Can't make snare1!", "Can't make Snare buffer!"},
    {VOICE_COWBELL, "Can't make cowbell!", "Can't make Cowbell buffer!"},
    {VOICE_OSCILLATOR, "Can't make oscillator!", "Can't make Oscillator buffer!"},
};

struct EditorMessages {
  const char* render_failure;
  const char* buffer_failure;
};

// The editors report the same failures in their own words, indexed by VoiceId.
constexpr EditorMessages EDITOR_MESSAGES[VOICE_ID_COUNT] = {
    {"Can't make blipp!", "Can't make blipp buffer!"},
    {"Can't make clave!", "Can't make clave buffer!"},
    {"Can't make closed hi-hat!", "Can't make closed hi-hat buffer!"},
    {"Can't make kick!", "Can't make kick buffer!"},
    {"Can't make open hi-hat!", "Can't make open hi-hat buffer!"},
    {"Can't make snare!", "Can't make snare buffer!"},
    {"Can't make cowbell!", "Can't make cowbell buffer!"},
    {nullptr, nullptr},
    {"Can't make oscillator!", "Can't make oscillator buffer!"},
};

void warn(const char* text) {
  show_message(text, "", MessageIcon::warning);
}
void error(const char* text) {
  show_message(text, "", MessageIcon::error);
}

// Renders every voice in order and normalises each once, whatever its shaping settings say.
// A voice that cannot be rendered keeps its old playback buffer, asks for the main window to
// be destroyed and ends the operation: the program is ending, so the remaining voices are
// neither rendered nor reported.
void render_all(VoiceBank& bank) {
  for (const BankVoice& v : RENDER_ORDER) {
    VoiceBuffer& voice = bank.voices[v.id];
    render_bank_voice(bank, v.id);
    if (voice.empty()) {
      warn(v.voice_message);
      request_destroy_main_window();
      return;
    }
    normalize_voice(voice);
    if (!replace_playback_buffer(playback_slot(v.id), voice)) error(v.buffer_message);
  }
}

}  // namespace

void init_voice_bank(VoiceBank& bank) {
  bank.params = BankParams{};
  fill_sine_table();
  render_all(bank);
}

void reset_voice_bank(VoiceBank& bank) {
  bank.params = BankParams{};
  render_all(bank);
}

void rerender_voice_bank(VoiceBank& bank) {
  render_all(bank);
}

void rebuild_voice(VoiceBank& bank, VoiceId id) {
  if (playback_slot(id) < 0) return;
  VoiceBuffer& voice = bank.voices[id];
  render_bank_voice(bank, id);
  if (voice.empty()) {
    error(EDITOR_MESSAGES[id].render_failure);  // the old playback buffer keeps sounding
    return;
  }
  shape_voice(id, voice, bank.params.shaping);
  if (!replace_playback_buffer(playback_slot(id), voice)) {
    error(EDITOR_MESSAGES[id].buffer_failure);
  }
}

}  // namespace thumpa
