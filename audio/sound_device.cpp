// The sound service over whichever backend was chosen: the backend runs the stream, this file
// owns the mixer, the playback buffers and the messages the user sees.
#include "audio/sound_device.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

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
  // The backend from open_sound_device to close_sound_device, also while its server is away.
  const OutputBackend* open = nullptr;
  // The same backend while its stream runs, null from a lost server until it is reopened: every
  // thread takes the play delay from it, as the backend says it now.
  std::atomic<const OutputBackend*> streaming{nullptr};
  // A reconnect step that runs off the main thread, so that a server that is slow, half up or
  // stopped never holds the window: closing the lost stream, or one try to open it again.
  std::thread reconnect;
  std::atomic<bool> reconnect_done{false};
  bool reconnect_opened = false;  // written by the step before reconnect_done
  int buffer_rate = SAMPLE_RATE;  // the frame rate every playback buffer holds
  int earlier_underflows = 0;     // counted by the streams of this open before a lost server
  int last_latency = 0;           // frames, when the server went away
  MixerState mixer;
  // The generation of the buffer in each place of the mixer; 0 for an empty place. Every new
  // buffer gets the next number, so a handle kept from an earlier buffer never matches.
  std::uint32_t generations[MIXER_VOICES] = {};
  std::uint32_t last_generation = 0;
  // The voice each place's buffer was made from, as given (Q31 at 44100 Hz): the buffer is
  // made again from it when the stream's rate changes. The device keeps its own copy so that
  // every buffer can be remade, including those of callers without a bank.
  VoiceBuffer sources[MIXER_VOICES];
};

static_assert(INSTRUMENT_SLOTS == VOICE_COUNT, "one instrument slot per playback slot");

SoundDevice device;

void show_error(const char* text, const std::string& detail) {
  show_message(text, APP_CAPTION, MessageIcon::error, detail);
}

void show_buffer_failure(bool places_full) {
  show_error("Cannot create buffer", {});
  if (places_full) {
    show_error("Every place of the mixer is taken: no more than 64 sounds can be loaded.", {});
  } else {
    show_error("Out of memory", {});
  }
}

bool streaming() {
  return device.streaming.load(std::memory_order_relaxed) != nullptr;
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

std::uint32_t next_generation() {
  if (++device.last_generation == 0) ++device.last_generation;  // 0 means "no buffer"
  return device.last_generation;
}

bool copy_voice(const VoiceBuffer& from, VoiceBuffer& to) {
  to.clear();
  if (from.empty() || from.count == 0) return true;  // a buffer of no samples either way
  to.samples.reset(static_cast<Q31*>(std::malloc(std::size_t{from.count} * sizeof(Q31))));
  if (to.samples == nullptr) return false;
  std::copy_n(from.samples.get(), from.count, to.samples.get());
  to.count = from.count;
  return true;
}

// Makes every buffer again at `rate` and swaps each into its place, as an edit swaps a voice:
// handles and slots stay as they were. A buffer that cannot be made keeps its old one.
void remake_buffers(int rate) {
  device.buffer_rate = rate;
  bool failed = false;
  for (int place = 0; place < MIXER_VOICES; ++place) {
    PlaybackBuffer* old = device.mixer.voices[place].load(std::memory_order_relaxed);
    if (old == nullptr) continue;
    PlaybackBuffer* remade = allocate_playback_buffer_at(device.sources[place], rate);
    if (remade == nullptr) {
      failed = true;
      continue;
    }
    mixer_replace(device.mixer, old, remade);
    free_playback_buffer(old);
  }
  std::fprintf(stderr, "thumpa: sound output %s now runs at %d Hz; the voices were made again\n",
               device.open->name, rate);
  if (failed) show_buffer_failure(false);
}

// The backend's rate, as the main thread follows it on every poll.
void follow_stream() {
  const OutputBackend& backend = *device.open;
  const int rate = backend.sample_rate();
  if (rate > 0 && rate != device.buffer_rate) remake_buffers(rate);
}

void start_inputs() {
  if (!device.open->reads_midi) start_sequencer_input(device.mixer, sound_play_delay_ns);
}

// Runs one reconnect step off the main thread; finish_reconnect_step takes its result.
template <typename Step>
void start_reconnect_step(Step step) {
  device.reconnect_done.store(false);
  device.reconnect_opened = false;
  device.reconnect = std::thread([step] {
    step();
    device.reconnect_done.store(true, std::memory_order_release);
  });
}

// True when no step runs now (any finished one is taken: a stream it opened plays from now on).
bool finish_reconnect_step() {
  if (!device.reconnect.joinable()) return true;
  if (!device.reconnect_done.load(std::memory_order_acquire)) return false;
  device.reconnect.join();
  if (!device.reconnect_opened) return true;
  const OutputBackend& backend = *device.open;
  device.streaming.store(&backend);
  follow_stream();
  start_inputs();
  std::fprintf(stderr, "thumpa: sound output %s is back, %d-frame periods, latency %d frames\n",
               backend.name, backend.period_frames(), backend.latency_frames());
  return true;
}

// The server went away under the stream: says so on stderr (the status line shows it too, and
// no box waits for the user: an outage that mends itself asks nothing of them), and closes the
// stream off the main thread; the buffers stay for the reopened one.
void stream_lost() {
  const OutputBackend& backend = *device.open;
  device.last_latency = backend.latency_frames();
  device.earlier_underflows += backend.underflows();
  device.streaming.store(nullptr);
  std::fprintf(stderr, "thumpa: sound output %s lost: its server went away; reconnecting\n",
               backend.name);
  start_reconnect_step([&backend] {
    stop_sequencer_input();
    backend.close();
  });
}

// One quiet try to open the stream again on the same mixer, off the main thread. The mixer is
// made ready for it here, while no stream and no step runs.
void try_reopen() {
  const OutputBackend& backend = *device.open;
  mixer_reset_for_new_stream(device.mixer);
  start_reconnect_step([&backend] {
    device.reconnect_opened = !backend.open(device.mixer, PERIOD_FRAMES).has_value();
  });
}

}  // namespace

void use_sound_output(const OutputBackend& backend) {
  device.chosen = &backend;
}

void use_sound_output_of_environment() {
  device.chosen = nullptr;
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
  // No stream runs now, so the mixer's side of the queue may be moved: nothing from an earlier
  // stream is left to start.
  mixer_reset_for_new_stream(device.mixer);
  if (const auto failure = backend.open(device.mixer, PERIOD_FRAMES)) {
    // Whoever started the program from a terminal or a script learns why there is no sound.
    std::fprintf(stderr, "thumpa: sound output %s failed to open: %s\n", backend.name,
                 failure->detail.c_str());
    show_error(failure_text(failure->step), failure->detail);
    return -1;
  }
  device.open = &backend;
  device.streaming.store(&backend);
  device.earlier_underflows = 0;
  device.buffer_rate = backend.sample_rate() > 0 ? backend.sample_rate() : SAMPLE_RATE;
  start_inputs();
  // One line for the logs of whoever runs the program: the end-to-end test reads it.
  std::fprintf(stderr, "thumpa: sound output %s, %d-frame periods, latency %d frames\n",
               backend.name, backend.period_frames(), backend.latency_frames());
  return 0;
}

void close_sound_device() {
  if (device.open == nullptr) return;
  // A reconnect step still running ends within the backend's own deadline; a stream it opened
  // is closed below.
  if (device.reconnect.joinable()) {
    device.reconnect.join();
    if (device.reconnect_opened) device.streaming.store(device.open);
  }
  const OutputBackend& backend = *device.open;
  int latency = device.last_latency;
  int underflows = device.earlier_underflows;
  if (streaming()) {
    latency = backend.latency_frames();
    underflows += backend.underflows();
    stop_sequencer_input();
    // Returns once no callback can run any more, so no pass of the mixer can still be running.
    backend.close();
  }
  device.open = nullptr;
  device.streaming.store(nullptr);
  std::fprintf(stderr, "thumpa: sound output %s closed, latency %d frames, %d underflows\n",
               backend.name, latency, underflows);
  for (int i = 0; i < MIXER_VOICES; ++i) {
    free_playback_buffer(device.mixer.voices[i].exchange(nullptr));
    device.generations[i] = 0;
    device.sources[i].clear();
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
  return streaming() ? device.open->period_frames() : 0;
}

std::int64_t sound_play_delay_ns() {
  // The backend's own figure, read from its atomics: keys, ticks and sequencer notes all use
  // the delay as it is now.
  const OutputBackend* backend = device.streaming.load(std::memory_order_acquire);
  return backend != nullptr ? backend->play_delay_ns() : 0;
}

PlaybackHandle make_playback_buffer(const VoiceBuffer& voice) {
  if (device.open == nullptr) return {};
  PlaybackBuffer* buffer = allocate_playback_buffer_at(voice, device.buffer_rate);
  VoiceBuffer source;
  const bool made = buffer != nullptr && copy_voice(voice, source);
  const int place = made ? mixer_attach(device.mixer, buffer) : -1;
  if (place < 0) {
    free_playback_buffer(buffer);
    show_buffer_failure(made);
    return {};
  }
  device.sources[place] = std::move(source);
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
  device.sources[handle.place].clear();
  free_playback_buffer(buffer);
}

void set_instrument_playing(bool fixed_velocity, bool choke) {
  device.mixer.fixed_velocity.store(fixed_velocity, std::memory_order_relaxed);
  device.mixer.choke.store(choke, std::memory_order_relaxed);
}

void play_voice(PlaybackHandle handle, std::int64_t due_ns) {
  PlaybackBuffer* buffer = buffer_of(handle);
  // Nothing plays while the server is away, nor later when it is back.
  if (buffer == nullptr || !streaming()) return;
  if (due_ns == 0) due_ns = steady_now_ns() + sound_play_delay_ns();
  request_play(*buffer, due_ns);
}

PlaybackHandle replace_playback_buffer(int slot, const VoiceBuffer& voice) {
  if (slot < 0 || slot >= VOICE_COUNT) return {};
  PlaybackBuffer* old = buffer_of(playback_buffer[slot]);
  if (old == nullptr) {
    playback_buffer[slot] = make_playback_buffer(voice);
    mixer_publish_slot(device.mixer, slot, buffer_of(playback_buffer[slot]));
    return playback_buffer[slot];
  }
  // The new buffer is made first and swapped into the old one's place, so that no note finds
  // the slot empty meanwhile, and a key or tick not yet started plays the new voice.
  PlaybackBuffer* made = allocate_playback_buffer_at(voice, device.buffer_rate);
  VoiceBuffer source;
  if (made == nullptr || !copy_voice(voice, source)) {
    free_playback_buffer(made);
    release_playback_buffer(playback_buffer[slot]);
    playback_buffer[slot] = {};
    show_buffer_failure(false);
    return {};
  }
  const int place = playback_buffer[slot].place;
  mixer_replace(device.mixer, old, made);
  free_playback_buffer(old);
  device.sources[place] = std::move(source);
  device.generations[place] = next_generation();
  playback_buffer[slot] = {place, device.generations[place]};
  return playback_buffer[slot];
}

SoundOutputStatus sound_output_status() {
  SoundOutputStatus status;
  if (device.open == nullptr) return status;
  const OutputBackend& backend = *device.open;
  status.output = backend.title;
  if (!streaming()) {
    status.gone = true;
    return status;
  }
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

void poll_sound_output() {
  if (device.open == nullptr) return;
  if (streaming() && device.open->server_gone()) stream_lost();
  if (streaming()) {
    follow_stream();
    return;
  }
  // Away: one step at a time, never waited for here.
  if (!finish_reconnect_step() || streaming()) return;
  try_reopen();
}

}  // namespace thumpa
