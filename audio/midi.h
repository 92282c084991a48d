// MIDI input: a streaming parser of MIDI bytes that yields note-ons, and the note map that says
// which voice a note plays. Plain C++ with no sound server, so every input path (a plugin host,
// a sequencer port, a JACK port) can share it.
#pragma once

#include <cstdint>
#include <optional>

#include "synth/types.h"

namespace thumpa {

struct MidiNoteOn {
  std::uint8_t channel = 0;  // 0 to 15
  std::uint8_t note = 0;
  std::uint8_t velocity = 0;  // 1 to 127: a note-on of velocity 0 is a note-off
};

// The parser's state between bytes: the running status and the data bytes gathered so far.
struct MidiParser {
  std::uint8_t status = 0;  // 0: none, so data bytes are dropped until a status byte comes
  std::uint8_t data[2] = {};
  std::uint8_t gathered = 0;
  bool in_sysex = false;
};

// Takes one byte of the stream. Returns the note-on it completes, if any. Running status is
// kept for channel messages; system real-time bytes (0xF8 to 0xFF) may come anywhere, even
// between the data bytes of a message, and change nothing; a SysEx message (0xF0 up to 0xF7 or
// the next status byte) and the system common messages with their data are skipped.
std::optional<MidiNoteOn> midi_parse_byte(MidiParser& parser, std::uint8_t byte);

// The voice a note plays (General MIDI percussion where a voice fits), on every channel;
// nothing for notes the map does not list.
std::optional<VoiceId> voice_for_note(int note);

}  // namespace thumpa
