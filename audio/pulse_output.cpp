// The PulseAudio client on libpulse's asynchronous API. A pa_threaded_mainloop runs the
// connection; the stream's write callback, in that loop's thread, mixes straight into the
// server's shared memory whenever the server asks for more.
//
// When the frames are heard: the server asks for a period when it has one period less than the
// target latency queued, so the first frame of a write is heard about the target latency less
// one period after the write. The mixer's smoothed clock of the writes, moved on by that much,
// places play requests; on a busy machine this kept plays within 38 frames of their due
// spacing, where the server's own interpolated timing reports strayed by up to 170.
//
// The target latency starts at two periods, which the server holds on an idle machine, and
// grows by one period each time the server reports an underflow (it played silence because
// the stream was late), up to eight. Once the server has played ten seconds without an
// underflow it steps back down, a period every two seconds, to where it started: a machine
// busy for a while (a build, an update) would otherwise leave a drum tens of milliseconds
// late for the rest of the run. A timer in the loop's thread takes those steps, so the write
// callback never does more than mix. The target is counted in periods, of the length the server
// holds now: when it changes the buffer attributes (when the stream moves to another sink, say),
// the period, target latency and play delay follow. The tlength it reports is not taken: it reads
// somewhat below the one asked for (534 frames for 512, 651 for 768), and plays placed by it
// strayed up to three times as far from their due frames on a null sink.
//
// A context or stream that fails or is terminated means the server went away: that is only
// recorded as a flag, and the sound device closes the stream and opens a new one. Opening gives
// the server a second in all to answer and start the stream: a server that stopped without
// closing its socket (stopped by a signal, hung) accepts the connection and never replies.
#include "audio/pulse_output.h"

#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <string>

#include "audio/latency_steps.h"
#include "audio/realtime.h"

namespace thumpa {
namespace {

constexpr int START_PERIODS = 2;
constexpr int MAX_PERIODS = 8;
// The first frame of the next write is heard about one target latency after a request, however
// late the write comes, as long as the server does not run dry: a play request due that long
// after it is made can be placed. The margin covers the sink's own latency and the jitter: on a
// null sink the next write's first frame was heard at most 1.3 ms beyond the target latency
// after the previous write began.
constexpr std::int64_t PLAY_DELAY_MARGIN_NS = 1'500'000;
constexpr pa_usec_t OPEN_TIMEOUT_USEC = 1'000'000;
// How often the loop's thread looks whether the target may step down.
constexpr pa_usec_t STEP_CHECK_USEC = 500'000;

struct PulseOutput {
  pa_threaded_mainloop* loop = nullptr;  // null while closed
  pa_context* context = nullptr;
  pa_stream* stream = nullptr;
  MixerState* mixer = nullptr;
  pa_time_event* open_deadline = nullptr;  // while opening
  pa_time_event* step_timer = nullptr;     // while the stream runs

  // Loop thread, or any thread with the loop's lock.
  bool open_timed_out = false;
  LatencySteps steps;

  // Written by the loop thread, read by anyone.
  std::atomic<int> period_frames{0};  // minreq as the server holds it
  std::atomic<int> target_periods{0};
  std::atomic<int> target_frames{0};
  std::atomic<bool> gone{false};
  std::atomic<int> underflows{0};
  std::atomic<std::int64_t> play_delay_ns{0};
  std::atomic<std::int64_t> heard_after_ns{0};  // from a write to its first frame sounding
};

PulseOutput output;

std::int64_t frames_to_ns(std::int64_t frames) {
  return frames * NS_PER_SECOND / SAMPLE_RATE;
}

pa_buffer_attr buffer_attr(int target_frames, int period_frames) {
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<std::uint32_t>(-1);  // the server's default
  attr.tlength = static_cast<std::uint32_t>(target_frames * FRAME_BYTES);
  // Playback starts as soon as one period is in, and each request asks for one period.
  attr.prebuf = static_cast<std::uint32_t>(period_frames * FRAME_BYTES);
  attr.minreq = static_cast<std::uint32_t>(period_frames * FRAME_BYTES);
  attr.fragsize = static_cast<std::uint32_t>(-1);  // recording only
  return attr;
}

void set_target(int periods, int period_frames) {
  const int frames = periods * period_frames;
  output.period_frames.store(period_frames);
  output.target_periods.store(periods);
  output.target_frames.store(frames);
  output.play_delay_ns.store(frames_to_ns(frames) + PLAY_DELAY_MARGIN_NS);
  output.heard_after_ns.store(frames_to_ns(frames - period_frames));
}

// The period the server holds for the stream now; `otherwise` when it does not say.
int held_period(pa_stream* stream, int otherwise) {
  const pa_buffer_attr* held = pa_stream_get_buffer_attr(stream);
  return held != nullptr && held->minreq >= static_cast<std::uint32_t>(FRAME_BYTES)
             ? static_cast<int>(held->minreq / FRAME_BYTES)
             : otherwise;
}

// Loop thread: the server changed the stream's buffer attributes.
void on_buffer_attr(pa_stream* stream, void* userdata) {
  auto& out = *static_cast<PulseOutput*>(userdata);
  set_target(out.target_periods.load(), held_period(stream, out.period_frames.load()));
}

// Loop thread. Fills what the server asks for, in pieces as large as its memory blocks allow;
// each piece is heard right after the one before.
void on_write(pa_stream* stream, std::size_t bytes, void* userdata) {
  auto& out = *static_cast<PulseOutput*>(userdata);
  const std::int64_t pass_ns = steady_now_ns() + out.heard_after_ns.load(std::memory_order_relaxed);
  std::int64_t done = 0;
  while (bytes >= static_cast<std::size_t>(FRAME_BYTES)) {
    void* data = nullptr;
    std::size_t size = bytes;
    if (pa_stream_begin_write(stream, &data, &size) < 0 || data == nullptr) return;
    const int frames = static_cast<int>(size / FRAME_BYTES);
    if (frames == 0) {
      pa_stream_cancel_write(stream);
      return;
    }
    mix_frames(*out.mixer, static_cast<std::int16_t*>(data), frames, pass_ns + frames_to_ns(done));
    const std::size_t written = static_cast<std::size_t>(frames) * FRAME_BYTES;
    if (pa_stream_write(stream, data, written, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
    bytes -= written;
    done += frames;
  }
}

// Loop thread: the target as the steps say now, given the underflows counted so far; the
// server is asked for it when it changes. A request that cannot be sent leaves the steps as
// they were, so the next look tries again.
void follow_steps(PulseOutput& out, pa_stream* stream) {
  const LatencySteps next = next_latency_steps(out.steps, out.underflows.load(), steady_now_ns());
  if (next.periods == out.steps.periods) {
    out.steps = next;
    return;
  }
  const int period = out.period_frames.load();
  const pa_buffer_attr attr = buffer_attr(next.periods * period, period);
  if (pa_operation* op = pa_stream_set_buffer_attr(stream, &attr, nullptr, nullptr)) {
    pa_operation_unref(op);
    out.steps = next;
    set_target(next.periods, period);
  }
}

// Loop thread, when the server ran out of frames: one period more of buffer.
void on_underflow(pa_stream* stream, void* userdata) {
  auto& out = *static_cast<PulseOutput*>(userdata);
  out.underflows.fetch_add(1);
  follow_steps(out, stream);
}

// Loop thread, every STEP_CHECK_USEC while the stream runs: a step down after a quiet stretch.
void on_step_timer(pa_mainloop_api*, pa_time_event* event, const timeval*, void* userdata) {
  auto& out = *static_cast<PulseOutput*>(userdata);
  follow_steps(out, out.stream);
  pa_context_rttime_restart(out.context, event, pa_rtclock_now() + STEP_CHECK_USEC);
}

// Loop thread: opening took too long; the waiting thread gives up.
void on_open_deadline(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
  auto& out = *static_cast<PulseOutput*>(userdata);
  out.open_timed_out = true;
  pa_threaded_mainloop_signal(out.loop, 0);
}

void free_timer(pa_time_event*& event) {
  if (event == nullptr) return;
  pa_threaded_mainloop_get_api(output.loop)->time_free(event);
  event = nullptr;
}

void on_context_state(pa_context* context, void* userdata) {
  auto& out = *static_cast<PulseOutput*>(userdata);
  if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) out.gone.store(true);
  pa_threaded_mainloop_signal(out.loop, 0);
}

void on_stream_state(pa_stream* stream, void* userdata) {
  auto& out = *static_cast<PulseOutput*>(userdata);
  if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) out.gone.store(true);
  pa_threaded_mainloop_signal(out.loop, 0);
}

// Loop thread, before any stream exists, without the loop's lock (it may wait for D-Bus).
void make_loop_realtime(pa_threaded_mainloop*, void*) {
  request_realtime_priority();
}

void release() {
  if (output.loop == nullptr) return;
  pa_threaded_mainloop_lock(output.loop);
  free_timer(output.open_deadline);
  free_timer(output.step_timer);
  if (output.stream != nullptr) {
    pa_stream_set_write_callback(output.stream, nullptr, nullptr);
    pa_stream_set_underflow_callback(output.stream, nullptr, nullptr);
    pa_stream_set_buffer_attr_callback(output.stream, nullptr, nullptr);
    pa_stream_set_state_callback(output.stream, nullptr, nullptr);
    pa_stream_disconnect(output.stream);
    pa_stream_unref(output.stream);
  }
  if (output.context != nullptr) {
    pa_context_set_state_callback(output.context, nullptr, nullptr);
    pa_context_disconnect(output.context);
    pa_context_unref(output.context);
  }
  pa_threaded_mainloop_unlock(output.loop);
  // Returns once the loop's thread has ended: no write callback can run any more.
  pa_threaded_mainloop_stop(output.loop);
  pa_threaded_mainloop_free(output.loop);
  output.loop = nullptr;
  output.context = nullptr;
  output.stream = nullptr;
  output.mixer = nullptr;
  output.period_frames = 0;
  output.target_periods = 0;
  output.target_frames = 0;
  output.play_delay_ns = 0;
  output.gone = false;
}

// With the loop's lock held: releases everything and reports the step that failed.
std::optional<OpenFailure> fail_locked(OpenStep step, std::string detail) {
  pa_threaded_mainloop_unlock(output.loop);
  release();
  return OpenFailure{step, std::move(detail)};
}

std::string context_error() {
  return pa_strerror(pa_context_errno(output.context));
}

std::string describe(const pa_sample_spec& format) {
  return std::string(pa_sample_format_to_string(format.format)) + ", " +
         std::to_string(format.channels) + " channels, " + std::to_string(format.rate) + " Hz";
}

std::optional<OpenFailure> connect_stream(int period_frames) {
  pa_sample_spec wanted{};
  wanted.format = PA_SAMPLE_S16NE;  // the mixer's own 16-bit samples, little-endian on Linux
  wanted.rate = SAMPLE_RATE;
  wanted.channels = OUTPUT_CHANNELS;
  pa_channel_map map{};
  pa_channel_map_init_stereo(&map);
  output.stream = pa_stream_new(output.context, "Thumpa", &wanted, &map);
  if (output.stream == nullptr) return fail_locked(OpenStep::open, context_error());
  pa_stream_set_state_callback(output.stream, on_stream_state, &output);
  pa_stream_set_write_callback(output.stream, on_write, &output);
  pa_stream_set_underflow_callback(output.stream, on_underflow, &output);
  pa_stream_set_buffer_attr_callback(output.stream, on_buffer_attr, &output);

  const pa_buffer_attr attr = buffer_attr(START_PERIODS * period_frames, period_frames);
  // The target latency is the whole way to the speaker, so the server sizes its own buffer
  // to match instead of adding its default on top.
  if (pa_stream_connect_playback(output.stream, nullptr, &attr, PA_STREAM_ADJUST_LATENCY, nullptr,
                                 nullptr) < 0) {
    return fail_locked(OpenStep::open, context_error());
  }
  for (;;) {
    const pa_stream_state_t state = pa_stream_get_state(output.stream);
    if (state == PA_STREAM_READY) break;
    if (!PA_STREAM_IS_GOOD(state)) return fail_locked(OpenStep::open, context_error());
    if (output.open_timed_out) {
      return fail_locked(OpenStep::open, "The server did not start the stream within a second");
    }
    pa_threaded_mainloop_wait(output.loop);
  }

  const pa_sample_spec* got = pa_stream_get_sample_spec(output.stream);
  if (got == nullptr || !pa_sample_spec_equal(got, &wanted)) {
    return fail_locked(OpenStep::format,
                       got == nullptr ? context_error() : "The server offers " + describe(*got));
  }
  set_target(START_PERIODS, held_period(output.stream, period_frames));
  output.step_timer = pa_context_rttime_new(output.context, pa_rtclock_now() + STEP_CHECK_USEC,
                                            on_step_timer, &output);
  return std::nullopt;
}

std::optional<OpenFailure> open(MixerState& mixer, int period_frames) {
  if (output.loop != nullptr) return std::nullopt;
  output.loop = pa_threaded_mainloop_new();
  if (output.loop == nullptr) return OpenFailure{OpenStep::init, "pa_threaded_mainloop_new failed"};
  pa_threaded_mainloop_set_name(output.loop, "thumpa-pulse");
  output.mixer = &mixer;
  output.underflows = 0;
  output.gone = false;
  output.open_timed_out = false;
  output.steps = LatencySteps{START_PERIODS, MAX_PERIODS, START_PERIODS};
  set_target(START_PERIODS, period_frames);
  mixer_restart_clock(mixer);

  pa_threaded_mainloop_lock(output.loop);
  output.context = pa_context_new(pa_threaded_mainloop_get_api(output.loop), "Thumpa");
  if (output.context == nullptr) return fail_locked(OpenStep::init, "pa_context_new failed");
  pa_context_set_state_callback(output.context, on_context_state, &output);
  // Never start a server of our own: when none runs, another backend is the better choice.
  if (pa_context_connect(output.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return fail_locked(OpenStep::init, context_error());
  }
  output.open_deadline = pa_context_rttime_new(output.context, pa_rtclock_now() + OPEN_TIMEOUT_USEC,
                                               on_open_deadline, &output);
  if (output.open_deadline == nullptr)
    return fail_locked(OpenStep::init, "pa_context_rttime_new failed");
  if (pa_threaded_mainloop_start(output.loop) < 0) {
    return fail_locked(OpenStep::init, "pa_threaded_mainloop_start failed");
  }
  pa_threaded_mainloop_once_unlocked(output.loop, make_loop_realtime, nullptr);
  for (;;) {
    const pa_context_state_t state = pa_context_get_state(output.context);
    if (state == PA_CONTEXT_READY) break;
    if (!PA_CONTEXT_IS_GOOD(state)) return fail_locked(OpenStep::init, context_error());
    if (output.open_timed_out) {
      return fail_locked(OpenStep::init, "The server did not answer within a second");
    }
    pa_threaded_mainloop_wait(output.loop);
  }
  if (auto failure = connect_stream(period_frames)) return failure;
  free_timer(output.open_deadline);
  pa_threaded_mainloop_unlock(output.loop);
  return std::nullopt;
}

void close() {
  release();
}

int period_frames() {
  return output.loop != nullptr ? output.period_frames.load() : 0;
}

std::int64_t play_delay_ns() {
  return output.play_delay_ns.load();
}

int latency_frames() {
  return output.target_frames.load();
}

int underflows() {
  return output.underflows.load();
}

bool server_gone() {
  return output.loop != nullptr && output.gone.load();
}

// A connection to the server and nothing more, on a loop of its own that gives up after a
// second.
bool server_answers() {
  pa_mainloop* loop = pa_mainloop_new();
  if (loop == nullptr) return false;
  pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "Thumpa");
  bool answered = false;
  if (context != nullptr) {
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      while (std::chrono::steady_clock::now() < deadline) {
        const pa_context_state_t state = pa_context_get_state(context);
        if (state == PA_CONTEXT_READY) answered = true;
        if (answered || !PA_CONTEXT_IS_GOOD(state)) break;
        if (pa_mainloop_prepare(loop, 50'000) < 0 || pa_mainloop_poll(loop) < 0 ||
            pa_mainloop_dispatch(loop) < 0) {
          break;
        }
      }
      pa_context_disconnect(context);
    }
    pa_context_unref(context);
  }
  pa_mainloop_free(loop);
  return answered;
}

}  // namespace

const OutputBackend PULSE_OUTPUT = {
    "pulse",       "PulseAudio",   server_answers, open,       close, period_frames,
    play_delay_ns, latency_frames, underflows,     voice_rate, false, server_gone,
};

}  // namespace thumpa
