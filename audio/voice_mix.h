// How voices are played, for every player of the program (the desktop mixer, the JACK client
// through it, the plugin): a stretch of frames with the notes that fall in it. Each voice sounds
// up to each of its notes, which starts it (from its first sample, at the note's gain) or stops
// it, and goes on; its 16-bit values at its gain are added into a 32-bit sum that is clamped to
// 16 bits once every voice is in, and written alone on its own output where asked.
// Real-time: nothing here allocates, locks or waits.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

#include "audio/velocity.h"
#include "synth/types.h"

namespace thumpa {

struct SoundingVoice {
  const std::int16_t* samples = nullptr;  // not owned; null when count is 0
  std::uint32_t count = 0;
  std::uint32_t position = 0;
  std::int32_t gain = FULL_GAIN;  // of the note that started it (see audio/velocity.h)
  bool sounding = false;
};

// A closed hi-hat that starts while the choke is on stops the open one at the same frame.
inline constexpr VoiceId CHOKING_VOICE = VOICE_CLOSED_HAT;
inline constexpr VoiceId CHOKED_VOICE = VOICE_OPEN_HAT;

// Plays the voice from its first sample at the gain, cutting off what it was playing. A voice
// of no samples stays silent.
void start_voice(SoundingVoice& voice, std::int32_t gain);

// Stops the voice where it is (a choke, or the player falling silent).
void stop_voice(SoundingVoice& voice);

// A sum of voices as the 16-bit value it plays as.
inline std::int16_t clamped_sum(std::int32_t sum) {
  return static_cast<std::int16_t>(std::clamp(sum, -32768, 32767));
}

// A 16-bit value as a float output carries it.
inline float float_sample(std::int32_t value) {
  return static_cast<float>(value) / 32768.0f;
}

// Adds the voice's next `frames` values, at its gain, into sum[0, frames) and moves it on; it
// stops at its end. When `alone` is not null, writes the same values there as floats
// (value / 32768), and silence where the voice does not sound. Inline: the mixers call it for
// every voice of every chunk.
inline void add_voice(SoundingVoice& voice, std::int32_t* sum, float* alone, int frames) {
  if (frames <= 0) return;
  int taken = 0;
  if (voice.sounding) {
    const std::uint32_t left = voice.count - voice.position;
    taken = left < static_cast<std::uint32_t>(frames) ? static_cast<int>(left) : frames;
    const std::int16_t* values = voice.samples + voice.position;
    // Kept apart from the sum, which could otherwise share memory with the gain as the
    // compiler sees it, so the loops stay free of reloads.
    const std::int32_t gain = voice.gain;
    if (gain == FULL_GAIN) {  // the voice's own values: no product needed
      for (int i = 0; i < taken; ++i) sum[i] += values[i];
      if (alone != nullptr) {
        for (int i = 0; i < taken; ++i) alone[i] = float_sample(values[i]);
      }
    } else if (alone == nullptr) {
      for (int i = 0; i < taken; ++i) sum[i] += scaled_value(values[i], gain);
    } else {
      for (int i = 0; i < taken; ++i) {
        const std::int32_t value = scaled_value(values[i], gain);
        sum[i] += value;
        alone[i] = float_sample(value);
      }
    }
    voice.position += static_cast<std::uint32_t>(taken);
    if (voice.position >= voice.count) voice.sounding = false;
  }
  if (alone != nullptr) std::fill(alone + taken, alone + frames, 0.0f);
}

// What happens to one voice at a frame of a stretch: it starts from its first sample at the
// gain, cutting off what it was playing, or (a choke) stops where it is. No default values, so
// a player's list of them costs nothing until it is filled.
struct NoteEvent {
  int frame;  // counted from the stretch's first frame
  int voice;  // the voice's index among the player's voices
  std::int32_t gain;
  bool stop;
};

// Adds a note to notes[0, count), which has room for one more, keeping them in order of frame
// and, at one frame, in the order they came.
template <typename Note>
void add_note(Note* notes, int& count, const Note& note) {
  int at = count;
  for (; at > 0 && notes[at - 1].frame > note.frame; --at) notes[at] = notes[at - 1];
  notes[at] = note;
  ++count;
}

// Drops every note that a later note of the same voice at its frame follows: whatever it did,
// the later one decides how the voice goes on from there (a closed hi-hat between the two
// chokes only the first), so the sound is the same. Leaves at most one note a voice at a frame,
// for a player whose list is full. `target` names the voice of a note (NoteEvent's voice, or a
// slot for the notes of a MIDI port).
template <typename Note, typename Target>
void drop_superseded_notes(Note* notes, int& count, Target target) {
  int kept = 0;
  for (int i = 0; i < count; ++i) {
    bool superseded = false;
    for (int j = i + 1; j < count && notes[j].frame == notes[i].frame && !superseded; ++j)
      superseded = target(notes[j]) == target(notes[i]);
    if (!superseded) notes[kept++] = notes[i];
  }
  count = kept;
}

// Where play_notes writes a stretch: the mix as interleaved 16-bit stereo, or as floats
// (value / 32768) on two outputs; and each voice alone as floats where its place in `alone`
// (one a voice) is not null.
struct MixOutputs {
  std::int16_t* stereo = nullptr;
  float* left = nullptr;
  float* right = nullptr;
  float* const* alone = nullptr;
};

// Frames a sum is kept for at a time: 64 full-scale voices still fit in 32 bits.
inline constexpr int MIX_CHUNK = 256;

// Plays frames [0, frames) of the voices (none null, at most 64) with the notes (at most 1024),
// which are in order of frame as add_note keeps them; a note at `frames` or later takes effect
// after the last frame.
// Writes the mix and the voices alone, and moves every voice on; one that reaches its end stops.
void play_notes(SoundingVoice* const* voices, int voice_count, std::span<const NoteEvent> notes,
                int frames, const MixOutputs& out);

}  // namespace thumpa
