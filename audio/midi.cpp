#include "audio/midi.h"

namespace thumpa {

namespace {

struct NoteVoice {
  int note;
  VoiceId voice;
};

constexpr NoteVoice NOTE_MAP[] = {
    {35, VOICE_KICK},       {36, VOICE_KICK},       {38, VOICE_SNARE},      {40, VOICE_SNARE},
    {42, VOICE_CLOSED_HAT}, {44, VOICE_CLOSED_HAT}, {46, VOICE_OPEN_HAT},   {56, VOICE_COWBELL},
    {75, VOICE_CLAVE},      {50, VOICE_BLIPP},      {47, VOICE_OSCILLATOR},
};

bool is_status(std::uint8_t byte) {
  return byte >= 0x80;
}

// Data bytes that follow a status byte; system common messages (0xF1 to 0xF6) included.
std::uint8_t data_length(std::uint8_t status) {
  switch (status & 0xF0) {
    case 0xC0:  // program change
    case 0xD0:  // channel pressure
      return 1;
    case 0xF0:
      return status == 0xF2 ? 2 : (status == 0xF1 || status == 0xF3) ? 1 : 0;
    default:
      return 2;
  }
}

}  // namespace

std::optional<MidiNoteOn> midi_parse_byte(MidiParser& parser, std::uint8_t byte) {
  if (byte >= 0xF8) return std::nullopt;  // real time: clock, start, stop, active sensing...
  if (is_status(byte)) {
    parser.gathered = 0;
    parser.in_sysex = byte == 0xF0;
    // Only channel messages leave a running status behind; SysEx, its end and the system
    // common messages cancel it.
    parser.status = byte < 0xF0 || data_length(byte) > 0 ? byte : 0;
    return std::nullopt;
  }
  if (parser.in_sysex || parser.status == 0) return std::nullopt;
  parser.data[parser.gathered++] = byte;
  if (parser.gathered < data_length(parser.status)) return std::nullopt;
  parser.gathered = 0;
  const std::uint8_t status = parser.status;
  if (status >= 0xF0) parser.status = 0;  // a system common message has no running status
  if ((status & 0xF0) != 0x90 || parser.data[1] == 0) return std::nullopt;
  return MidiNoteOn{static_cast<std::uint8_t>(status & 0x0F), parser.data[0], parser.data[1]};
}

std::optional<VoiceId> voice_for_note(int note) {
  for (const NoteVoice& entry : NOTE_MAP) {
    if (entry.note == note) return entry.voice;
  }
  return std::nullopt;
}

}  // namespace thumpa
