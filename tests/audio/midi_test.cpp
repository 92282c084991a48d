#include "audio/midi.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace thumpa {
namespace {

// The note-ons a byte stream yields, as "channel:note:velocity" words.
std::string note_ons(const std::vector<std::uint8_t>& bytes) {
  MidiParser parser;
  std::string out;
  for (std::uint8_t b : bytes) {
    if (const auto on = midi_parse_byte(parser, b)) {
      if (!out.empty()) out += ' ';
      out += std::to_string(on->channel) + ':' + std::to_string(on->note) + ':' +
             std::to_string(on->velocity);
    }
  }
  return out;
}

TEST(MidiParser, YieldsNoteOnsOnly) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    const char* expected;
  };
  const Case cases[] = {
      {"a note-on", {0x99, 36, 100}, "9:36:100"},
      {"every channel", {0x90, 38, 1, 0x9F, 42, 127}, "0:38:1 15:42:127"},
      {"velocity 0 is a note-off", {0x99, 36, 0}, ""},
      {"note-offs and other messages", {0x89, 36, 64, 0xA9, 36, 5, 0xB9, 7, 100, 0xE9, 0, 64}, ""},
      {"running status", {0x99, 36, 100, 38, 90, 42, 0, 46, 1}, "9:36:100 9:38:90 9:46:1"},
      {"running status of a note-off", {0x89, 36, 64, 38, 64}, ""},
      {"real time between data bytes",
       {0x99, 0xF8, 36, 0xFE, 100, 0xFA, 38, 0xFF, 90},
       "9:36:100 9:38:90"},
      {"one data byte for program change and channel pressure",
       {0xC9, 36, 0xD9, 38, 0x99, 40, 70},
       "9:40:70"},
      {"SysEx is skipped and ends the running status",
       {0x99, 36, 100, 0xF0, 0x7E, 0x99, 36, 0xF7, 38, 90, 0x99, 40, 80},
       "9:36:100 9:40:80"},
      {"a status byte ends an unterminated SysEx", {0xF0, 1, 2, 0x99, 44, 60}, "9:44:60"},
      {"real time inside SysEx", {0xF0, 1, 0xF8, 2, 0xF7, 0x99, 35, 9}, "9:35:9"},
      {"system common data is not note data",
       {0x99, 36, 100, 0xF2, 40, 50, 42, 60, 0xF1, 47, 0xF3, 50, 0xF6, 75, 20},
       "9:36:100"},
      {"data before any status", {36, 100, 0x99, 56, 30}, "9:56:30"},
      {"a status byte cuts a message short", {0x99, 36, 0x99, 38, 90}, "9:38:90"},
  };
  for (const Case& c : cases) EXPECT_EQ(note_ons(c.bytes), c.expected) << c.what;
}

TEST(MidiNoteMap, PlaysTheTableAndNothingElse) {
  struct Case {
    int note;
    std::optional<VoiceId> voice;
  };
  const Case cases[] = {
      {35, VOICE_KICK},       {36, VOICE_KICK},       {38, VOICE_SNARE},      {40, VOICE_SNARE},
      {42, VOICE_CLOSED_HAT}, {44, VOICE_CLOSED_HAT}, {46, VOICE_OPEN_HAT},   {56, VOICE_COWBELL},
      {75, VOICE_CLAVE},      {50, VOICE_BLIPP},      {47, VOICE_OSCILLATOR}, {37, std::nullopt},
      {39, std::nullopt},     {0, std::nullopt},      {127, std::nullopt},    {-1, std::nullopt},
      {128, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(voice_for_note(c.note), c.voice) << c.note;
}

}  // namespace
}  // namespace thumpa
