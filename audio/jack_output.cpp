#include "audio/jack_output.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>

#include "audio/midi.h"
#include "synth/voices.h"

namespace thumpa {

namespace {

struct JackStream {
  jack_client_t* client = nullptr;  // null while closed
  jack_port_t* left = nullptr;
  jack_port_t* right = nullptr;
  jack_port_t* midi_in = nullptr;
  // One mono port per playback slot, named by its voice's command-line name: the voice alone.
  jack_port_t* voice_out[INSTRUMENT_SLOTS] = {};
  MixerState* mixer = nullptr;
  // Written by the client's open and JACK's own threads when the server changes them.
  std::atomic<int> sample_rate{0};
  std::atomic<int> period_frames{0};
  std::atomic<int> xruns{0};
  std::atomic<bool> server_gone{false};
  MidiParser parser;  // process callback only: running status may span events
};

JackStream stream;
bool connects_ports = true;

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

// The mixer is pulled in chunks of at most its own period, so its output fits on the stack
// whatever the server's period.
constexpr int CHUNK_FRAMES = PERIOD_FRAMES;
// Note-ons one pull of the mixer takes: no more than one pass of the mixer takes. A cycle with
// more is mixed in shorter pulls, cut at the frame of the note that found no room.
constexpr int MAX_PULL_STARTS = 128;

// JACK's first error text since the last open began, for the detail of a failed open (the
// later ones are the library cleaning up). Its library reports errors through this function
// instead of printing them, so probing for a server stays quiet.
char first_error[256] = "";

void keep_first_error(const char* text) {
  if (first_error[0] != '\0') return;
  std::size_t n = 0;
  for (; text[n] != '\0' && n + 1 < sizeof first_error; ++n) first_error[n] = text[n];
  first_error[n] = '\0';
}

void ignore_info(const char*) {}

void quiet_library() {
  jack_set_error_function(keep_first_error);
  jack_set_info_function(ignore_info);
}

// One JACK cycle's mixing: the mixer is pulled from frame `done` on, with the note-ons of
// midi_in gathered since, each at its own frame of the cycle.
struct Cycle {
  float* left = nullptr;
  float* right = nullptr;
  float* voices[INSTRUMENT_SLOTS] = {};  // each slot's own port
  std::int64_t start_ns = 0;             // when the cycle's first frame began, steady clock
  bool exact = false;                    // start_ns is the server's own time, not our estimate
  int rate = SAMPLE_RATE;
  jack_nframes_t done = 0;             // frames written
  FrameStart starts[MAX_PULL_STARTS];  // frames counted from the cycle's first
  int count = 0;
};

// Mixes frames [done, end) of the cycle (at most one chunk) with the starts before `end`; the
// starts at `end` and after wait for the next pull.
void pull(Cycle& c, jack_nframes_t end) {
  FrameStart starts[MAX_PULL_STARTS];
  int taken = 0;
  for (; taken < c.count && c.starts[taken].frame < static_cast<int>(end); ++taken) {
    starts[taken] = c.starts[taken];
    starts[taken].frame -= static_cast<int>(c.done);
  }
  std::copy(c.starts + taken, c.starts + c.count, c.starts);
  c.count -= taken;
  std::int16_t mixed[CHUNK_FRAMES * OUTPUT_CHANNELS];
  const int len = static_cast<int>(end - c.done);
  float* voices[INSTRUMENT_SLOTS];
  for (int i = 0; i < INSTRUMENT_SLOTS; ++i)
    voices[i] = c.voices[i] != nullptr ? c.voices[i] + c.done : nullptr;
  const std::span<const FrameStart> pull_starts(starts, static_cast<std::size_t>(taken));
  const std::int64_t at_ns = c.start_ns + frames_to_ns(c.done, c.rate);
  if (c.exact) {
    mix_frames_at(*stream.mixer, mixed, len, at_ns, pull_starts, voices);
  } else {
    mix_frames_starting(*stream.mixer, mixed, len, at_ns, pull_starts, voices);
  }
  for (int i = 0; i < len; ++i) {
    const float value = float_sample(mixed[2 * i]);
    c.left[c.done + static_cast<jack_nframes_t>(i)] = value;
    c.right[c.done + static_cast<jack_nframes_t>(i)] = value;
  }
  c.done = end;
}

// Adds a slot's start at `frame` of the cycle, after mixing what comes before it where it
// cannot wait: the frames of earlier chunks, or the frames before it when no room is left. A
// full list first drops the starts a later note of their slot at their frame supersedes, so
// that room only runs out over at least MAX_PULL_STARTS / INSTRUMENT_SLOTS different frames,
// and a pull always moves on.
void add_start(Cycle& c, jack_nframes_t frame, int slot, int velocity) {
  while (frame >= c.done + CHUNK_FRAMES) pull(c, c.done + CHUNK_FRAMES);
  if (c.count == MAX_PULL_STARTS)
    drop_superseded_notes(c.starts, c.count, [](const FrameStart& s) { return s.slot; });
  if (c.count == MAX_PULL_STARTS) pull(c, frame);
  add_note(c.starts, c.count, FrameStart{static_cast<int>(frame), slot, velocity});
}

// When the cycle's first frame began on the steady clock, as the server counts its cycles; 0
// when it cannot say. The server stamps them on its own clock (here CLOCK_MONOTONIC_RAW, in
// microseconds, which runs apart from the steady clock), so the time since the stamp, read on
// that clock, is taken back from the steady clock's now. Both reads are the vDSO's, no system
// call.
std::int64_t cycle_start_ns() {
  jack_nframes_t frames = 0;
  jack_time_t first_us = 0;
  jack_time_t next_us = 0;
  float period_us = 0;
  if (jack_get_cycle_times(stream.client, &frames, &first_us, &next_us, &period_us) != 0) return 0;
  const jack_time_t server_now_us = jack_get_time();
  const std::int64_t now_ns = steady_now_ns();
  if (first_us == 0 || server_now_us < first_us) return 0;
  const auto since_ns = static_cast<std::int64_t>(server_now_us - first_us) * 1000;
  return since_ns < now_ns ? now_ns - since_ns : 0;
}

int process(jack_nframes_t frames, void*) {
  Cycle cycle;
  cycle.left = static_cast<float*>(jack_port_get_buffer(stream.left, frames));
  cycle.right = static_cast<float*>(jack_port_get_buffer(stream.right, frames));
  // Every voice's port is written, listened to or not: asking whether a port is connected may
  // take a lock of the library's, and writing a voice alone costs about as much as mixing it.
  for (int i = 0; i < INSTRUMENT_SLOTS; ++i)
    cycle.voices[i] = static_cast<float*>(jack_port_get_buffer(stream.voice_out[i], frames));
  // Without the server's time, the mixer smooths the times its passes start at.
  cycle.start_ns = cycle_start_ns();
  cycle.exact = cycle.start_ns != 0;
  if (!cycle.exact) cycle.start_ns = steady_now_ns();
  const int rate = stream.sample_rate.load(std::memory_order_relaxed);
  cycle.rate = rate > 0 ? rate : SAMPLE_RATE;
  void* midi = jack_port_get_buffer(stream.midi_in, frames);
  const jack_nframes_t event_count = jack_midi_get_event_count(midi);
  for (jack_nframes_t e = 0; e < event_count; ++e) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, midi, e) != 0) continue;
    const jack_nframes_t frame = std::min(event.time, frames - 1);  // events come in frame order
    for (std::size_t i = 0; i < event.size; ++i) {
      const auto note_on = midi_parse_byte(stream.parser, event.buffer[i]);
      if (!note_on) continue;
      if (const auto voice = voice_for_note(note_on->note))
        add_start(cycle, std::max(frame, cycle.done), playback_slot(*voice), note_on->velocity);
    }
  }
  while (cycle.done < frames)
    pull(cycle, std::min<jack_nframes_t>(cycle.done + CHUNK_FRAMES, frames));
  return 0;
}

int count_xrun(void*) {
  stream.xruns.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

int take_buffer_size(jack_nframes_t frames, void*) {
  stream.period_frames.store(static_cast<int>(frames), std::memory_order_relaxed);
  return 0;
}

// The mixer places keys' due times by the new rate at once; the sound device makes the voices
// again at this rate on its next poll.
int take_sample_rate(jack_nframes_t rate, void*) {
  stream.sample_rate.store(static_cast<int>(rate), std::memory_order_relaxed);
  if (rate > 0) stream.mixer->rate.store(static_cast<int>(rate), std::memory_order_relaxed);
  return 0;
}

// Runs on a thread of JACK's: only a flag, which the main thread reports.
void server_went_away(void*) {
  stream.server_gone.store(true, std::memory_order_release);
}

// JACK's status bits in words, with the library's last error text.
std::string describe_failure(jack_status_t status) {
  constexpr struct {
    int bit;
    const char* text;
  } REASONS[] = {
      {JackServerFailed, "unable to connect to the JACK server"},
      {JackServerError, "communication error with the JACK server"},
      {JackVersionError, "the JACK server speaks another protocol version"},
      {JackShmFailure, "unable to access JACK's shared memory"},
      {JackInitFailure, "unable to initialise the client"},
      {JackNameNotUnique, "the client name is taken"},
      {JackInvalidOption, "an option the server does not support"},
      {JackFailure, "the operation failed"},
  };
  std::string detail;
  for (const auto& r : REASONS) {
    if ((status & r.bit) == 0) continue;
    if (!detail.empty()) detail += "; ";
    detail += r.text;
  }
  if (first_error[0] != '\0')
    detail += std::string(detail.empty() ? "" : " (") + first_error + (detail.empty() ? "" : ")");
  return detail.empty() ? "the JACK server did not say why" : detail;
}

bool jack_answers() {
  quiet_library();
  first_error[0] = '\0';
  jack_status_t status{};
  jack_client_t* probe = jack_client_open("thumpa-probe", JackNoStartServer, &status);
  if (probe == nullptr) return false;
  jack_client_close(probe);
  return true;
}

void release_client() {
  jack_client_close(stream.client);
  stream.client = nullptr;
  stream.left = stream.right = stream.midi_in = nullptr;
  std::fill(std::begin(stream.voice_out), std::end(stream.voice_out), nullptr);
  stream.sample_rate.store(0);
  stream.period_frames.store(0);
}

// Connects the output ports to the first two physical playback ports, the left one to both
// when there is only one. A port that will not connect leaves the stream silent, not broken.
void connect_to_playback() {
  const char** ports = jack_get_ports(stream.client, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                      JackPortIsPhysical | JackPortIsInput);
  if (ports == nullptr) return;
  if (ports[0] != nullptr) {
    jack_connect(stream.client, jack_port_name(stream.left), ports[0]);
    jack_connect(stream.client, jack_port_name(stream.right),
                 ports[1] != nullptr ? ports[1] : ports[0]);
  }
  jack_free(ports);
}

std::optional<OpenFailure> jack_open(MixerState& mixer, int) {
  if (stream.client != nullptr) return std::nullopt;
  quiet_library();
  first_error[0] = '\0';
  jack_status_t status{};
  stream.client = jack_client_open("thumpa", JackNoStartServer, &status);
  if (stream.client == nullptr) return OpenFailure{OpenStep::init, describe_failure(status)};

  stream.mixer = &mixer;
  stream.parser = MidiParser{};
  stream.xruns.store(0);
  stream.server_gone.store(false);
  take_sample_rate(jack_get_sample_rate(stream.client), nullptr);
  stream.period_frames.store(static_cast<int>(jack_get_buffer_size(stream.client)));
  stream.left =
      jack_port_register(stream.client, "out_left", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
  stream.right =
      jack_port_register(stream.client, "out_right", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
  stream.midi_in =
      jack_port_register(stream.client, "midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  bool voice_ports = true;
  for (int i = 0; i < INSTRUMENT_SLOTS; ++i) {
    stream.voice_out[i] = jack_port_register(
        stream.client, voice_facts(MENU_ORDER[static_cast<std::size_t>(i)]).cli_name,
        JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    voice_ports &= stream.voice_out[i] != nullptr;
  }
  if (stream.left == nullptr || stream.right == nullptr || stream.midi_in == nullptr ||
      !voice_ports || jack_set_process_callback(stream.client, process, nullptr) != 0 ||
      jack_set_xrun_callback(stream.client, count_xrun, nullptr) != 0 ||
      jack_set_buffer_size_callback(stream.client, take_buffer_size, nullptr) != 0 ||
      jack_set_sample_rate_callback(stream.client, take_sample_rate, nullptr) != 0) {
    OpenFailure failure{OpenStep::open,
                        first_error[0] != '\0' ? first_error : "the JACK server refused a port"};
    release_client();
    return failure;
  }
  jack_on_shutdown(stream.client, server_went_away, nullptr);
  if (jack_activate(stream.client) != 0) {
    OpenFailure failure{OpenStep::open, first_error[0] != '\0'
                                            ? first_error
                                            : "the JACK server refused the client"};
    release_client();
    return failure;
  }
  if (connects_ports) connect_to_playback();
  return std::nullopt;
}

void jack_close() {
  if (stream.client == nullptr) return;
  // Returns once the process callback can no longer run; a server gone already has stopped it,
  // and would not answer the request. Closing the client then frees the library's side of it
  // (its requests to the dead server fail at once), so that the client can be opened again.
  if (!stream.server_gone.load(std::memory_order_acquire)) jack_deactivate(stream.client);
  release_client();
}

int jack_period_frames() {
  return stream.period_frames.load(std::memory_order_relaxed);
}

std::int64_t jack_play_delay_ns() {
  const int rate = stream.sample_rate.load(std::memory_order_relaxed);
  if (rate <= 0) return 0;
  return period_play_delay_ns(jack_period_frames(), rate);
}

// The output port's playback latency as the server reports it: its period and what the
// physical ports add.
int jack_latency_frames() {
  if (stream.client == nullptr) return 0;
  // A client whose server went away asks it nothing more.
  if (stream.server_gone.load(std::memory_order_acquire)) return jack_period_frames();
  jack_latency_range_t range{};
  jack_port_get_latency_range(stream.left, JackPlaybackLatency, &range);
  return std::max(static_cast<int>(range.max), jack_period_frames());
}

int jack_xruns() {
  return stream.xruns.load(std::memory_order_relaxed);
}

// The server's sample rate while the client is open, else 0.
int jack_sample_rate() {
  return stream.sample_rate.load(std::memory_order_relaxed);
}

bool jack_server_gone() {
  return stream.client != nullptr && stream.server_gone.load(std::memory_order_acquire);
}

}  // namespace

void set_jack_connects_ports(bool connect) {
  connects_ports = connect;
}

const OutputBackend JACK_OUTPUT = {
    .name = "jack",
    .title = "JACK",
    .server_answers = jack_answers,
    .open = jack_open,
    .close = jack_close,
    .period_frames = jack_period_frames,
    .play_delay_ns = jack_play_delay_ns,
    .latency_frames = jack_latency_frames,
    .underflows = jack_xruns,
    .sample_rate = jack_sample_rate,
    .reads_midi = true,
    .server_gone = jack_server_gone,
};

}  // namespace thumpa
