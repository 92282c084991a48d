// The PipeWire client. Its own thread (a pw_thread_loop) handles the connection and the
// stream's state; the stream's process callback runs in PipeWire's real-time data thread and
// does nothing but mix one buffer. When its frames are heard comes from the stream's own time
// report: the graph cycle's start on CLOCK_MONOTONIC (the steady clock on Linux) plus the delay
// to the device and whatever is still queued before it.
//
// The server may change the graph's quantum, and with it the stream's period and its delay to
// the device, while the stream runs; the data thread publishes what each cycle got, and the
// figures and the play delay are read from that. A lost connection is only recorded as a flag:
// the sound device closes the stream and opens a new one.
#include "audio/pipewire_output.h"

#include <pipewire/pipewire.h>
#include <spa/debug/types.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/audio/type-info.h>
#include <spa/utils/result.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace thumpa {
namespace {

// How long opening waits in all for the server to start the stream, however many state changes
// come meanwhile (a server that was stopped, or runs without a session manager to link the
// stream, never gets there). Short enough that the sound device can try again every half second
// while a restarted server comes back without keeping the program waiting long.
constexpr std::int64_t OPEN_TIMEOUT_NS = 1'000'000'000;
// The first pass may come after the stream started, until the same deadline but never less than
// this after the start.
constexpr auto FIRST_PASS_AT_LEAST = std::chrono::milliseconds(100);
// A request is taken by the next cycle at the latest, whose first frame is heard one cycle plus
// the delay to the device after it; this margin covers what the resampler holds (when the
// graph runs at another rate) and rounding.
constexpr std::int64_t PLAY_DELAY_MARGIN_NS = 1'000'000;
// The delay to the device that play requests allow for rises with every report above it but
// falls only when the reports fall this far below it: a device's delay wavers a little from cycle
// to cycle, and a steady beat must not waver with it.
constexpr std::int64_t DELAY_FALL_NS = 1'000'000;

struct PipeWireOutput {
  pw_thread_loop* loop = nullptr;  // null while closed
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_stream* stream = nullptr;
  spa_hook core_listener{};
  spa_hook stream_listener{};
  MixerState* mixer = nullptr;

  // Loop thread, read under its lock.
  pw_stream_state state = PW_STREAM_STATE_UNCONNECTED;
  bool running = false;      // from a successful open() until release()
  std::string error;         // the server's reason once the stream or connection failed
  std::string wrong_format;  // the format the server settled on when it is not ours

  // Written by the loop thread, read by anyone.
  std::atomic<bool> gone{false};
  std::atomic<int> rate{SAMPLE_RATE};  // the stream's frames per second

  // Written by the data thread, read by anyone.
  std::atomic<int> frames_per_pass{0};
  std::atomic<std::int64_t> device_delay_ns{0};
  std::atomic<std::int64_t> planned_delay_ns{0};  // the delay to the device plays allow for
  std::atomic<int> missed_cycles{0};

  // Data thread only: the graph clock's position the next cycle starts at, when this stream's
  // buffer made it into every cycle so far; 0 before the first.
  std::uint64_t next_ticks = 0;
  std::uint64_t ticks_per_second = 0;

  int asked_period = 0;
};

PipeWireOutput output;

void ensure_pipewire_initialised() {
  static const bool done = [] {
    pw_init(nullptr, nullptr);
    return true;
  }();
  (void)done;
}

std::int64_t frames_to_ns(std::int64_t frames, int rate) {
  return frames * NS_PER_SECOND / rate;
}

// Data thread. Counts the graph cycles that ran without this stream's buffer: the graph clock's
// position moves on by each cycle's length, so a position beyond where this stream's last cycle
// ended means cycles the server played without it (the stream was stopped or too late to be
// woken). A change of the graph's rate restarts the count's reference.
void count_missed_cycles(PipeWireOutput& out, const pw_time& time, int frames, int rate) {
  const std::uint64_t ticks_per_second = time.rate.denom / time.rate.num;
  const std::uint64_t cycle =
      static_cast<std::uint64_t>(frames) * ticks_per_second / static_cast<std::uint64_t>(rate);
  if (out.next_ticks != 0 && ticks_per_second == out.ticks_per_second && cycle != 0 &&
      time.ticks > out.next_ticks + cycle / 2) {
    const std::uint64_t missed = (time.ticks - out.next_ticks + cycle / 2) / cycle;
    out.missed_cycles.fetch_add(static_cast<int>(missed), std::memory_order_relaxed);
  }
  out.ticks_per_second = ticks_per_second;
  out.next_ticks = time.ticks + cycle;
}

// Data thread. Fills one buffer: as many frames as the graph asks for this cycle.
void on_process(void* userdata) {
  auto& out = *static_cast<PipeWireOutput*>(userdata);
  pw_buffer* b = pw_stream_dequeue_buffer(out.stream);
  if (b == nullptr) return;
  spa_data& data = b->buffer->datas[0];
  if (data.data == nullptr) {
    pw_stream_queue_buffer(out.stream, b);
    return;
  }
  int frames = static_cast<int>(data.maxsize / FRAME_BYTES);
  if (b->requested != 0 && b->requested < static_cast<std::uint64_t>(frames)) {
    frames = static_cast<int>(b->requested);
  }

  // The first frame of this buffer is heard after the graph's delay to the device and after
  // everything queued or buffered ahead of it, counted from the cycle's start.
  const int rate = out.rate.load(std::memory_order_relaxed);
  pw_time time{};
  std::int64_t first_frame_ns = 0;
  if (pw_stream_get_time_n(out.stream, &time, sizeof time) == 0 && time.now != 0 &&
      time.rate.denom != 0 && time.rate.num != 0) {
    const std::int64_t delay_ns = time.delay * NS_PER_SECOND * time.rate.num / time.rate.denom;
    out.device_delay_ns.store(delay_ns, std::memory_order_relaxed);
    const std::int64_t planned = out.planned_delay_ns.load(std::memory_order_relaxed);
    if (delay_ns > planned || delay_ns < planned - DELAY_FALL_NS) {
      out.planned_delay_ns.store(delay_ns, std::memory_order_relaxed);
    }
    first_frame_ns = time.now + delay_ns +
                     frames_to_ns(static_cast<std::int64_t>(time.queued + time.buffered), rate);
    count_missed_cycles(out, time, frames, rate);
  }

  mix_frames_at(*out.mixer, static_cast<std::int16_t*>(data.data), frames, first_frame_ns);
  data.chunk->offset = 0;
  data.chunk->stride = FRAME_BYTES;
  data.chunk->size = static_cast<std::uint32_t>(frames * FRAME_BYTES);
  b->size = static_cast<std::uint64_t>(frames);  // time.queued counts frames
  pw_stream_queue_buffer(out.stream, b);
  out.frames_per_pass.store(frames, std::memory_order_relaxed);
}

void on_state_changed(void* userdata, pw_stream_state, pw_stream_state state, const char* error) {
  auto& out = *static_cast<PipeWireOutput*>(userdata);
  out.state = state;
  if (state == PW_STREAM_STATE_ERROR && error != nullptr) out.error = error;
  // A running stream that fails or is disconnected by anything but release() lost its server
  // (the stream's own reaction to a broken connection) or was removed by it.
  if (out.running && (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED)) {
    out.gone.store(true, std::memory_order_release);
  }
  pw_thread_loop_signal(out.loop, false);
}

std::string describe(const spa_audio_info_raw& info) {
  const char* format = spa_debug_type_find_short_name(spa_type_audio_format, info.format);
  return std::string(format != nullptr ? format : "an unknown format") + ", " +
         std::to_string(info.channels) + " channels, " + std::to_string(info.rate) + " Hz";
}

void on_param_changed(void* userdata, std::uint32_t id, const spa_pod* param) {
  auto& out = *static_cast<PipeWireOutput*>(userdata);
  if (param == nullptr || id != SPA_PARAM_Format) return;
  spa_audio_info_raw info{};
  if (spa_format_audio_raw_parse(param, &info) < 0) return;
  // Once the stream runs, a new format is the server's new rate for it: the frames follow it, and
  // the sound device resamples the voices. Only S16 stereo is ever offered.
  if (out.running) {
    if (info.rate != 0) out.rate.store(static_cast<int>(info.rate), std::memory_order_release);
    return;
  }
  if (info.format != SPA_AUDIO_FORMAT_S16 || info.channels != OUTPUT_CHANNELS ||
      info.rate != static_cast<std::uint32_t>(SAMPLE_RATE)) {
    out.wrong_format = "The server offers " + describe(info);
    pw_thread_loop_signal(out.loop, false);
  }
}

void on_core_error(void* userdata, std::uint32_t id, int, int res, const char* message) {
  auto& out = *static_cast<PipeWireOutput*>(userdata);
  if (id != PW_ID_CORE) return;
  out.error = message != nullptr && *message != '\0' ? message : spa_strerror(res);
  out.state = PW_STREAM_STATE_ERROR;
  // A broken connection to the server (it quit or was killed), or a fatal error on a running
  // stream: the connection is of no more use.
  if (res == -EPIPE || out.running) out.gone.store(true, std::memory_order_release);
  pw_thread_loop_signal(out.loop, false);
}

const pw_stream_events STREAM_EVENTS = [] {
  pw_stream_events events{};
  events.version = PW_VERSION_STREAM_EVENTS;
  events.state_changed = on_state_changed;
  events.param_changed = on_param_changed;
  events.process = on_process;
  return events;
}();

const pw_core_events CORE_EVENTS = [] {
  pw_core_events events{};
  events.version = PW_VERSION_CORE_EVENTS;
  events.error = on_core_error;
  return events;
}();

// Releases whatever open() made, in reverse order, under the loop's lock. Disconnecting the
// stream takes it out of the data thread and returns once no process callback can run; only
// then is it destroyed, which also removes its listener. Destroying the context then ends the
// data thread. All of this also works on a connection the server has broken.
void release() {
  if (output.loop == nullptr) return;
  pw_thread_loop_lock(output.loop);
  output.running = false;
  if (output.stream != nullptr) {
    pw_stream_disconnect(output.stream);
    pw_stream_destroy(output.stream);
  }
  if (output.core != nullptr) {
    spa_hook_remove(&output.core_listener);
    pw_core_disconnect(output.core);
  }
  pw_thread_loop_unlock(output.loop);
  pw_thread_loop_stop(output.loop);
  if (output.context != nullptr) pw_context_destroy(output.context);
  pw_thread_loop_destroy(output.loop);
  output.loop = nullptr;
  output.context = nullptr;
  output.core = nullptr;
  output.stream = nullptr;
  output.mixer = nullptr;
  output.frames_per_pass = 0;
  output.device_delay_ns = 0;
  output.planned_delay_ns = 0;
  output.gone = false;
}

std::optional<OpenFailure> fail(OpenStep step, std::string detail) {
  release();
  return OpenFailure{step, std::move(detail)};
}

std::string errno_text(const char* what) {
  return std::string(what) + ": " + spa_strerror(-errno);
}

// With the loop's lock held: the stream's properties and the one format it offers.
pw_stream* make_stream(int period_frames) {
  const std::string latency = std::to_string(period_frames) + "/" + std::to_string(SAMPLE_RATE);
  pw_properties* props =
      pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                        PW_KEY_MEDIA_ROLE, "Production", PW_KEY_APP_NAME, "Thumpa",
                        PW_KEY_NODE_NAME, "Thumpa", PW_KEY_NODE_LATENCY, latency.c_str(), nullptr);
  return pw_stream_new(output.core, "Thumpa", props);
}

int connect_stream() {
  std::uint8_t pod_memory[1024];
  spa_pod_builder builder{};
  spa_pod_builder_init(&builder, pod_memory, sizeof pod_memory);
  spa_audio_info_raw info{};
  info.format = SPA_AUDIO_FORMAT_S16;
  info.channels = OUTPUT_CHANNELS;
  info.rate = SAMPLE_RATE;
  info.position[0] = SPA_AUDIO_CHANNEL_FL;
  info.position[1] = SPA_AUDIO_CHANNEL_FR;
  const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
  const auto flags = static_cast<pw_stream_flags>(
      PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
  return pw_stream_connect(output.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1);
}

// Starts the loop and connects to the server; the loop's lock is held on success.
std::optional<OpenFailure> connect_server() {
  output.loop = pw_thread_loop_new("thumpa-pipewire", nullptr);
  if (output.loop == nullptr) return fail(OpenStep::init, errno_text("pw_thread_loop_new"));
  // PipeWire's configuration for real-time clients: its data thread, which runs the mixer,
  // asks real-time priority from RealtimeKit or the scheduler. The same module lowers the nice
  // level of the thread that makes the context, so a thread of its own makes it.
  pw_properties* props = pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr);
  int context_errno = 0;
  std::thread([props, &context_errno] {
    output.context = pw_context_new(pw_thread_loop_get_loop(output.loop), props, 0);
    context_errno = errno;
  }).join();
  if (output.context == nullptr) {
    errno = context_errno;
    return fail(OpenStep::init, errno_text("pw_context_new"));
  }
  if (pw_thread_loop_start(output.loop) < 0) {
    return fail(OpenStep::init, errno_text("pw_thread_loop_start"));
  }
  pw_thread_loop_lock(output.loop);
  output.core = pw_context_connect(output.context, nullptr, 0);
  if (output.core == nullptr) {
    const std::string detail = errno_text("Cannot connect to the PipeWire server");
    pw_thread_loop_unlock(output.loop);
    return fail(OpenStep::init, detail);
  }
  pw_core_add_listener(output.core, &output.core_listener, &CORE_EVENTS, &output);
  return std::nullopt;
}

std::optional<OpenFailure> open(MixerState& mixer, int period_frames) {
  if (output.loop != nullptr) return std::nullopt;
  ensure_pipewire_initialised();
  output.state = PW_STREAM_STATE_UNCONNECTED;
  output.error.clear();
  output.wrong_format.clear();
  output.mixer = &mixer;
  output.asked_period = period_frames;
  output.rate = SAMPLE_RATE;
  output.gone = false;
  output.missed_cycles = 0;
  output.next_ticks = 0;
  mixer_restart_clock(mixer);
  const auto started_at = std::chrono::steady_clock::now();
  if (auto failure = connect_server()) return failure;

  output.stream = make_stream(period_frames);
  if (output.stream == nullptr) {
    const std::string detail = errno_text("pw_stream_new");
    pw_thread_loop_unlock(output.loop);
    return fail(OpenStep::open, detail);
  }
  pw_stream_add_listener(output.stream, &output.stream_listener, &STREAM_EVENTS, &output);
  if (const int res = connect_stream(); res < 0) {
    pw_thread_loop_unlock(output.loop);
    return fail(OpenStep::open, std::string("pw_stream_connect: ") + spa_strerror(res));
  }
  // Wait until the stream runs, fails, or the server takes too long to link it.
  timespec deadline{};
  pw_thread_loop_get_time(output.loop, &deadline, OPEN_TIMEOUT_NS);
  while (output.state != PW_STREAM_STATE_STREAMING && output.state != PW_STREAM_STATE_ERROR &&
         output.wrong_format.empty()) {
    if (pw_thread_loop_timed_wait_full(output.loop, &deadline) != 0) break;
  }
  const pw_stream_state state = output.state;
  const std::string error = output.error;
  const std::string wrong_format = output.wrong_format;
  output.running =
      state == PW_STREAM_STATE_STREAMING && wrong_format.empty() && !output.gone.load();
  pw_thread_loop_unlock(output.loop);
  if (!wrong_format.empty()) return fail(OpenStep::format, wrong_format);
  if (state == PW_STREAM_STATE_ERROR) {
    return fail(OpenStep::open, error.empty() ? "The stream failed" : error);
  }
  if (state != PW_STREAM_STATE_STREAMING) {
    return fail(OpenStep::open, "The server did not start the stream (no output to link it to?)");
  }

  // The first pass tells the cycle's length and the delay to the device, so that the figures
  // and the play delay are the stream's own from the start.
  const auto first_pass_deadline = std::max(started_at + std::chrono::nanoseconds(OPEN_TIMEOUT_NS),
                                            std::chrono::steady_clock::now() + FIRST_PASS_AT_LEAST);
  while (output.frames_per_pass.load() == 0 &&
         std::chrono::steady_clock::now() < first_pass_deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return std::nullopt;
}

void close() {
  release();
}

int period_frames() {
  if (output.loop == nullptr) return 0;
  const int frames = output.frames_per_pass.load(std::memory_order_relaxed);
  return frames != 0 ? frames : output.asked_period;
}

int sample_rate() {
  return output.rate.load(std::memory_order_acquire);
}

// A request is taken by the next cycle at the latest, whose first frame is heard one cycle plus
// the delay to the device after it: the cycle as the latest one was.
std::int64_t play_delay_ns() {
  if (output.loop == nullptr) return 0;
  return frames_to_ns(period_frames(), sample_rate()) +
         output.planned_delay_ns.load(std::memory_order_relaxed) + PLAY_DELAY_MARGIN_NS;
}

// The frames between a buffer's first frame and the device, as the server reports them.
int latency_frames() {
  if (output.loop == nullptr) return 0;
  return static_cast<int>(output.device_delay_ns.load(std::memory_order_relaxed) * sample_rate() /
                          NS_PER_SECOND) +
         period_frames();
}

// PipeWire plays silence in place of a late buffer without telling the client; the cycles it
// ran without this stream's buffer are counted from the graph clock.
int underflows() {
  return output.missed_cycles.load(std::memory_order_relaxed);
}

bool server_gone() {
  return output.loop != nullptr && output.gone.load(std::memory_order_acquire);
}

// A connection and a round trip to the server, without a stream.
bool server_answers() {
  ensure_pipewire_initialised();
  pw_loop* loop = pw_loop_new(nullptr);
  if (loop == nullptr) return false;
  pw_context* context = pw_context_new(loop, nullptr, 0);
  bool answered = false;
  if (context != nullptr) {
    pw_core* core = pw_context_connect(context, nullptr, 0);
    if (core != nullptr) {
      struct Round {
        int seq = 0;
        bool done = false;
        bool failed = false;
      } round;
      pw_core_events events{};
      events.version = PW_VERSION_CORE_EVENTS;
      events.done = [](void* data, std::uint32_t id, int seq) {
        auto& r = *static_cast<Round*>(data);
        if (id == PW_ID_CORE && seq == r.seq) r.done = true;
      };
      events.error = [](void* data, std::uint32_t, int, int, const char*) {
        static_cast<Round*>(data)->failed = true;
      };
      spa_hook listener{};
      pw_core_add_listener(core, &listener, &events, &round);
      round.seq = pw_core_sync(core, PW_ID_CORE, 0);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      pw_loop_enter(loop);
      while (!round.done && !round.failed && std::chrono::steady_clock::now() < deadline) {
        pw_loop_iterate(loop, 50);
      }
      pw_loop_leave(loop);
      answered = round.done;
      spa_hook_remove(&listener);
      pw_core_disconnect(core);
    }
    pw_context_destroy(context);
  }
  pw_loop_destroy(loop);
  return answered;
}

}  // namespace

const OutputBackend PIPEWIRE_OUTPUT = {
    "pipewire",    "PipeWire",     server_answers, open,        close, period_frames,
    play_delay_ns, latency_frames, underflows,     sample_rate, false, server_gone,
};

}  // namespace thumpa
