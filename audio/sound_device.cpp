// The sound service over whichever backend was chosen: the backend runs the stream, this file
// owns the mixer, the playback buffers and the messages the user sees.
#include "audio/sound_device.h"

#include <cstdio>
#include <string>

#include "audio/mixer.h"
#include "audio/output_backends.h"
#include "audio/playback_rate.h"
#include "audio/sequencer_input.h"
#include "synth/messages.h"

namespace thumpa {

PlaybackHandle playback_buffer[VOICE_COUNT] = {};

namespace {

struct SoundDevice {
  const OutputBackend* chosen = nullptr;  // by use_sound_output; otherwise chosen at each open
  const OutputBackend* open = nullptr;    // while a stream runs
  std::int64_t play_delay_ns = 0;
  MixerState mixer;
  // The generation of the buffer in each place of the mixer; 0 for an empty place. Every new
  // buffer gets the next number, so a handle kept from an earlier buffer never matches.
  std::uint32_t generations[MIXER_VOICES] = {};
  std::uint32_t last_generation = 0;
  bool loss_reported = false;  // the message that the server went away was shown
};

static_assert(INSTRUMENT_SLOTS == VOICE_COUNT, "one instrument slot per playback slot");

SoundDevice device;

void show_error(const char* text, const std::string& detail) {
  show_message(text, APP_CAPTION, MessageIcon::error, detail);
}

// The same three messages whatever the server, in the order the steps are taken.
const char* failure_text(OpenStep step) {
  switch (step) {
    case OpenStep::init:
      return "Failed to create DirectSound COM object";
    case OpenStep::open:
      return "Failed to Initialize DirectSound object";
    case OpenStep::format:
      return "Cannot set format";
  }
  return "Failed to create DirectSound COM object";
}

// The buffer a handle refers to, or null when it is empty or stale.
PlaybackBuffer* buffer_of(PlaybackHandle handle) {
  if (!handle || handle.place < 0 || handle.place >= MIXER_VOICES) return nullptr;
  if (device.generations[handle.place] != handle.generation) return nullptr;
  return device.mixer.voices[handle.place].load(std::memory_order_relaxed);
}

int stream_rate() {
  return device.open != nullptr ? device.open->sample_rate() : SAMPLE_RATE;
}

std::uint32_t next_generation() {
  if (++device.last_generation == 0) ++device.last_generation;  // 0 means "no buffer"
  return device.last_generation;
}

}  // namespace

void use_sound_output(const OutputBackend& backend) {
  device.chosen = &backend;
}

int open_sound_device() {
  if (device.open != nullptr) return 0;
  const BackendChoice choice =
      device.chosen != nullptr ? BackendChoice{device.chosen, {}}
                               : choose_backend(requested_backend_name({}), available_backends());
  if (choice.backend == nullptr) {
    std::fprintf(stderr, "thumpa: no sound output: %s\n", choice.error.c_str());
    show_error(failure_text(OpenStep::init), choice.error);
    return -1;
  }

  const OutputBackend& backend = *choice.backend;
  device.mixer.clock = StreamClock{};
  // No stream runs now, so the mixer's side of the queue may be moved: nothing from an earlier
  // stream is left to start.
  device.mixer.timed_starts.taken.store(device.mixer.timed_starts.written.load());
  if (const auto failure = backend.open(device.mixer, PERIOD_FRAMES)) {
    // Whoever started the program from a terminal or a script learns why there is no sound.
    std::fprintf(stderr, "thumpa: sound output %s failed to open: %s\n", backend.name,
                 failure->detail.c_str());
    show_error(failure_text(failure->step), failure->detail);
    return -1;
  }
  device.open = &backend;
  device.play_delay_ns = backend.play_delay_ns();
  device.loss_reported = false;
  if (!device.open->reads_midi) start_sequencer_input(device.mixer, device.play_delay_ns);
  // One line for the logs of whoever runs the program: the end-to-end test reads it.
  std::fprintf(stderr, "thumpa: sound output %s, %d-frame periods, latency %d frames\n",
               backend.name, backend.period_frames(), backend.latency_frames());
  return 0;
}

void close_sound_device() {
  if (device.open == nullptr) return;
  const OutputBackend& backend = *device.open;
  const int latency = backend.latency_frames();
  const int underflows = backend.underflows();
  stop_sequencer_input();
  // Returns once no callback can run any more, so no pass of the mixer can still be running.
  backend.close();
  device.open = nullptr;
  std::fprintf(stderr, "thumpa: sound output %s closed, latency %d frames, %d underflows\n",
               backend.name, latency, underflows);
  for (int i = 0; i < MIXER_VOICES; ++i) {
    free_playback_buffer(device.mixer.voices[i].exchange(nullptr));
    device.generations[i] = 0;
  }
  for (int slot = 0; slot < VOICE_COUNT; ++slot) {
    mixer_publish_slot(device.mixer, slot, nullptr);
    playback_buffer[slot] = {};
  }
}

bool sound_device_open() {
  return device.open != nullptr;
}

int sound_device_period_frames() {
  return device.open != nullptr ? device.open->period_frames() : 0;
}

PlaybackHandle make_playback_buffer(const VoiceBuffer& voice) {
  if (device.open == nullptr) return {};
  PlaybackBuffer* buffer = allocate_playback_buffer_at(voice, stream_rate());
  const int place = buffer != nullptr ? mixer_attach(device.mixer, buffer) : -1;
  if (place < 0) {
    free_playback_buffer(buffer);
    show_error("Cannot create buffer", {});
    show_error("Out of memory", {});
    return {};
  }
  device.generations[place] = next_generation();
  return {place, device.generations[place]};
}

void release_playback_buffer(PlaybackHandle handle) {
  // A handle released already, or whose buffer went with the device, is left alone.
  PlaybackBuffer* buffer = buffer_of(handle);
  if (buffer == nullptr) return;
  // Unpublished first, so that once the detach returns no input can start it either.
  for (int slot = 0; slot < INSTRUMENT_SLOTS; ++slot) {
    if (device.mixer.slot_buffers[slot].load(std::memory_order_relaxed) == buffer) {
      mixer_publish_slot(device.mixer, slot, nullptr);
    }
  }
  mixer_detach(device.mixer, buffer);
  device.generations[handle.place] = 0;
  free_playback_buffer(buffer);
}

void play_voice(PlaybackHandle handle, std::int64_t due_ns) {
  PlaybackBuffer* buffer = buffer_of(handle);
  if (buffer == nullptr) return;
  request_play(*buffer, due_ns != 0 ? due_ns : steady_now_ns() + device.play_delay_ns);
}

PlaybackHandle replace_playback_buffer(int slot, const VoiceBuffer& voice) {
  if (slot < 0 || slot >= VOICE_COUNT) return {};
  release_playback_buffer(playback_buffer[slot]);
  playback_buffer[slot] = make_playback_buffer(voice);
  mixer_publish_slot(device.mixer, slot, buffer_of(playback_buffer[slot]));
  return playback_buffer[slot];
}

SoundOutputStatus sound_output_status() {
  SoundOutputStatus status;
  if (device.open == nullptr) return status;
  const OutputBackend& backend = *device.open;
  status.output = backend.title;
  status.period_frames = backend.period_frames();
  status.latency_frames = backend.latency_frames();
  status.sample_rate = backend.sample_rate();
  status.gone = backend.server_gone();
  if (backend.reads_midi) {
    status.midi_input = "MIDI: JACK midi_in";
  } else if (sequencer_input_running()) {
    status.midi_input = "MIDI: ALSA port Thumpa";
  }
  return status;
}

void report_lost_sound_output() {
  if (device.open == nullptr || device.loss_reported || !device.open->server_gone()) return;
  device.loss_reported = true;
  show_message("The JACK server has stopped. Thumpa carries on without sound.", APP_CAPTION,
               MessageIcon::warning);
}

}  // namespace thumpa
