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
  MixerState* mixer = nullptr;
  int sample_rate = 0;
  std::atomic<int> period_frames{0};
  std::atomic<int> xruns{0};
  std::atomic<bool> server_gone{false};
  MidiParser parser;  // process callback only: running status may span events
};

JackStream stream;
bool connects_ports = true;

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

// As on the other backends: one period, and a margin for the jitter of the process thread, so
// that a key's request always reaches the cycle it is due in.
constexpr std::int64_t PLAY_DELAY_MARGIN_NS = 1'000'000;
constexpr std::int64_t NS_PER_SECOND = 1'000'000'000;

// The mixer is pulled in chunks of its own period, so its output fits on the stack whatever
// the server's period.
constexpr int CHUNK_FRAMES = PERIOD_FRAMES;
// Note-ons one chunk takes; a MIDI cable carries about 8 in 256 frames.
constexpr int MAX_CHUNK_STARTS = 64;

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

// Gathers, from the MIDI events at or after *next whose frames fall before chunk_end, the
// note-ons of voices as starts counted from chunk_begin.
int chunk_starts(void* midi, jack_nframes_t event_count, jack_nframes_t& next,
                 jack_nframes_t chunk_begin, jack_nframes_t chunk_end, FrameStart* starts) {
  int count = 0;
  for (; next < event_count; ++next) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, midi, next) != 0) continue;
    if (event.time >= chunk_end) break;
    const int frame = event.time > chunk_begin ? static_cast<int>(event.time - chunk_begin) : 0;
    for (std::size_t i = 0; i < event.size; ++i) {
      const auto note_on = midi_parse_byte(stream.parser, event.buffer[i]);
      if (!note_on) continue;
      const auto voice = voice_for_note(note_on->note);
      if (voice && count < MAX_CHUNK_STARTS) starts[count++] = {frame, playback_slot(*voice)};
    }
  }
  return count;
}

int process(jack_nframes_t frames, void*) {
  auto* left = static_cast<float*>(jack_port_get_buffer(stream.left, frames));
  auto* right = static_cast<float*>(jack_port_get_buffer(stream.right, frames));
  void* midi = jack_port_get_buffer(stream.midi_in, frames);
  const jack_nframes_t event_count = jack_midi_get_event_count(midi);
  jack_nframes_t next_event = 0;
  // Keys' play requests are placed by the mixer's smoothed clock of the cycles' start times,
  // which counts 44100 frames a second. At another rate that clock would drift and restart
  // over and over, so there a request starts at the first frame of the next cycle instead.
  const std::int64_t now = stream.sample_rate == SAMPLE_RATE ? steady_now_ns() : 0;
  std::int16_t mixed[CHUNK_FRAMES * OUTPUT_CHANNELS];
  FrameStart starts[MAX_CHUNK_STARTS];
  for (jack_nframes_t done = 0; done < frames;) {
    const jack_nframes_t len = std::min<jack_nframes_t>(CHUNK_FRAMES, frames - done);
    const int count = chunk_starts(midi, event_count, next_event, done, done + len, starts);
    const std::int64_t chunk_ns =
        now == 0 ? 0 : now + std::int64_t{done} * NS_PER_SECOND / stream.sample_rate;
    mix_frames_starting(*stream.mixer, mixed, static_cast<int>(len), chunk_ns,
                        std::span<const FrameStart>(starts, static_cast<std::size_t>(count)));
    for (jack_nframes_t i = 0; i < len; ++i) {
      const float value = static_cast<float>(mixed[2 * i]) / 32768.0f;
      left[done + i] = value;
      right[done + i] = value;
    }
    done += len;
  }
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
  stream.sample_rate = 0;
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
  stream.sample_rate = static_cast<int>(jack_get_sample_rate(stream.client));
  stream.period_frames.store(static_cast<int>(jack_get_buffer_size(stream.client)));
  stream.left =
      jack_port_register(stream.client, "out_left", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
  stream.right =
      jack_port_register(stream.client, "out_right", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
  stream.midi_in =
      jack_port_register(stream.client, "midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  if (stream.left == nullptr || stream.right == nullptr || stream.midi_in == nullptr ||
      jack_set_process_callback(stream.client, process, nullptr) != 0 ||
      jack_set_xrun_callback(stream.client, count_xrun, nullptr) != 0 ||
      jack_set_buffer_size_callback(stream.client, take_buffer_size, nullptr) != 0) {
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
  // Returns once the process callback can no longer run; a server gone already has stopped it.
  if (!stream.server_gone.load(std::memory_order_acquire)) jack_deactivate(stream.client);
  release_client();
}

int jack_period_frames() {
  return stream.period_frames.load(std::memory_order_relaxed);
}

std::int64_t jack_play_delay_ns() {
  if (stream.sample_rate == 0) return 0;
  return std::int64_t{jack_period_frames()} * NS_PER_SECOND / stream.sample_rate +
         PLAY_DELAY_MARGIN_NS;
}

// The output port's playback latency as the server reports it: its period and what the
// physical ports add.
int jack_latency_frames() {
  if (stream.client == nullptr) return 0;
  jack_latency_range_t range{};
  jack_port_get_latency_range(stream.left, JackPlaybackLatency, &range);
  return std::max(static_cast<int>(range.max), jack_period_frames());
}

int jack_xruns() {
  return stream.xruns.load(std::memory_order_relaxed);
}

// The server's sample rate while the client is open, else 0.
int jack_sample_rate() {
  return stream.sample_rate;
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
