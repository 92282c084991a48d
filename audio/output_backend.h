// A sound server's client, as the sound device uses it: it opens one output stream whose
// real-time callback runs the program's mixer, and says how that stream keeps time. Each server
// (PipeWire, PulseAudio, JACK, SDL as the portable fallback) is one constant record of
// functions; the sound device picks one and shows the failure messages, whichever it is.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "audio/mixer.h"

namespace thumpa {

// The step of opening that failed; the sound device turns each into its message:
// connecting to the server, opening the stream, or a stream format other than the one asked.
enum class OpenStep { init, open, format };

struct OpenFailure {
  OpenStep step = OpenStep::init;
  std::string detail;  // the library's or server's own reason
};

struct OutputBackend {
  const char* name;   // "pipewire", "pulse", "sdl", "jack": what --audio and THUMPA_AUDIO take
  const char* title;  // "PipeWire", "PulseAudio", "SDL", "JACK": what the status line shows

  // True when the backend's server answers now (a quick connect and disconnect, no stream);
  // the automatic choice takes the first backend whose server answers.
  bool (*server_answers)();

  // Opens and starts a 44100 Hz stereo stream whose real-time callback fills each period with
  // mix_frames (or mix_frames_at, where the server says when the frames are heard) on `mixer`,
  // asking for periods of period_frames. The callback never allocates, locks, logs or makes a
  // system call. Returns nothing when the stream runs, otherwise the step that failed, with
  // everything it opened released again.
  std::optional<OpenFailure> (*open)(MixerState& mixer, int period_frames);

  // Stops the stream and returns once no callback can run any more. Does nothing when closed.
  // Also works, without hanging, after the server went away; open() may then be called again
  // to reconnect (the sound device does so from the main thread, at most every 500 ms), and
  // fails within about a second, saying nothing, while the server is not back.
  void (*close)();

  // The functions below are called from the main thread at any time while the stream is open,
  // and read the stream's current state cheaply (atomics written by the backend's own threads):
  // a server changes its rate, period or latency while the stream runs, and they follow.

  // Frames per period the stream really gets now; 0 while closed.
  int (*period_frames)();

  // How long after a play request its sound is due: the smallest constant delay this backend
  // can always honour now, so that a steady beat stays steady. It changes only when the
  // server's period or latency does.
  std::int64_t (*play_delay_ns)();

  // The stream's latency as the server holds it now, in frames, and the underflows (periods
  // the server played without the stream's frames) counted since this open; for the logs.
  int (*latency_frames)();
  int (*underflows)();

  // The stream's frame rate now; the voices are resampled to it when it is not theirs, and
  // again when it changes.
  int (*sample_rate)();
  // True when the server itself brings MIDI input to the stream (JACK's midi_in port); the
  // other backends have the sequencer's port beside them.
  bool reads_midi;
  // True once the server went away under the open stream, which then plays nothing until the
  // sound device closes and reopens it.
  bool (*server_gone)();
};

// For the servers that run at the voices' own rate, and stay while their stream is open.
inline int voice_rate() {
  return SAMPLE_RATE;
}
inline bool never_gone() {
  return false;
}

}  // namespace thumpa
