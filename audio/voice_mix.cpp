#include "audio/voice_mix.h"

#include "audio/stream_units.h"

namespace thumpa {

void start_voice(SoundingVoice& voice, std::int32_t gain) {
  voice.position = 0;
  voice.gain = gain;
  voice.sounding = voice.samples != nullptr && voice.count > 0;
}

void stop_voice(SoundingVoice& voice) {
  voice.sounding = false;
}

namespace {

// Most voices one stretch plays (every place of the desktop mixer), and most notes.
constexpr int MAX_PLAYED_VOICES = 64;
constexpr int MAX_PLAYED_NOTES = 1024;

void write_mix(const std::int32_t* sum, const MixOutputs& out, int done, int len) {
  if (out.stereo != nullptr) {
    std::int16_t* dst = out.stereo + std::ptrdiff_t{done} * OUTPUT_CHANNELS;
    for (int i = 0; i < len; ++i) {
      const std::int16_t s = clamped_sum(sum[i]);
      dst[2 * i] = s;
      dst[2 * i + 1] = s;
    }
  }
  if (out.left != nullptr) {
    for (int i = 0; i < len; ++i) {
      const float value = float_sample(clamped_sum(sum[i]));
      out.left[done + i] = value;
      out.right[done + i] = value;
    }
  }
}

}  // namespace

void play_notes(SoundingVoice* const* voices, int voice_count, std::span<const NoteEvent> notes,
                int frames, const MixOutputs& out) {
  voice_count = std::min(voice_count, MAX_PLAYED_VOICES);
  if (notes.empty() && out.alone == nullptr) {  // most passes: every voice plays on
    std::int32_t sum[MIX_CHUNK];
    for (int done = 0; done < frames; done += MIX_CHUNK) {
      const int len = std::min(MIX_CHUNK, frames - done);
      std::fill_n(sum, len, 0);
      for (int v = 0; v < voice_count; ++v) add_voice(*voices[v], sum, nullptr, len);
      write_mix(sum, out, done, len);
    }
    return;
  }
  // Each voice's notes, as a chain through the list: the sum takes every voice in turn, and a
  // voice's stretch between two of its notes is the same whatever the others do meanwhile.
  int next_of_voice[MAX_PLAYED_VOICES];
  std::fill_n(next_of_voice, voice_count, -1);
  const int note_count = static_cast<int>(notes.size());
  int next_note[MAX_PLAYED_NOTES];
  for (int n = std::min(note_count, MAX_PLAYED_NOTES) - 1; n >= 0; --n) {
    const int v = notes[static_cast<std::size_t>(n)].voice;
    if (v < 0 || v >= voice_count) continue;
    next_note[n] = next_of_voice[v];
    next_of_voice[v] = n;
  }

  std::int32_t sum[MIX_CHUNK];
  for (int done = 0; done < frames;) {
    const int len = std::min(MIX_CHUNK, frames - done);
    const int end = done + len;
    std::fill_n(sum, len, 0);
    for (int v = 0; v < voice_count; ++v) {
      SoundingVoice& voice = *voices[v];
      float* alone =
          out.alone != nullptr && out.alone[v] != nullptr ? out.alone[v] + done : nullptr;
      int from = 0;  // within the chunk
      int& n = next_of_voice[v];
      for (; n >= 0 && notes[static_cast<std::size_t>(n)].frame < end; n = next_note[n]) {
        const NoteEvent& note = notes[static_cast<std::size_t>(n)];
        const int at = std::max(note.frame - done, from);
        add_voice(voice, sum + from, alone == nullptr ? nullptr : alone + from, at - from);
        from = at;
        if (note.stop) {
          stop_voice(voice);
        } else {
          start_voice(voice, note.gain);
        }
      }
      add_voice(voice, sum + from, alone == nullptr ? nullptr : alone + from, len - from);
    }
    write_mix(sum, out, done, len);
    done = end;
  }
  // Notes at the stretch's end or later take effect after it: the voice they start sounds from
  // the next stretch's first frame. The notes are in order of frame, so the last one tells
  // whether there are any.
  if (notes.empty() || notes.back().frame < frames) return;
  for (int v = 0; v < voice_count; ++v) {
    for (int n = next_of_voice[v]; n >= 0; n = next_note[n]) {
      const NoteEvent& note = notes[static_cast<std::size_t>(n)];
      if (note.stop) {
        stop_voice(*voices[v]);
      } else {
        start_voice(*voices[v], note.gain);
      }
    }
  }
}

}  // namespace thumpa
