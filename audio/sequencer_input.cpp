#include "audio/sequencer_input.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include "audio/midi.h"
#include "audio/realtime.h"
#include "synth/voices.h"

namespace thumpa {

namespace {

struct SequencerInput {
  snd_seq_t* seq = nullptr;  // null while stopped
  std::thread reader;
  std::atomic<bool> stopping{false};
};

SequencerInput input;

// How long the reader waits for an event before it looks whether it should stop.
constexpr int STOP_CHECK_MS = 50;

void read_events(MixerState& mixer, std::int64_t (*play_delay_ns)()) {
  request_realtime_priority();  // so that arrival times are taken when the events arrive
  const int count = snd_seq_poll_descriptors_count(input.seq, POLLIN);
  std::vector<pollfd> fds(static_cast<std::size_t>(count > 0 ? count : 0));
  snd_seq_poll_descriptors(input.seq, fds.data(), static_cast<unsigned>(fds.size()), POLLIN);
  while (!input.stopping.load(std::memory_order_acquire)) {
    if (poll(fds.data(), fds.size(), STOP_CHECK_MS) <= 0) continue;
    snd_seq_event_t* event = nullptr;
    for (int got; (got = snd_seq_event_input(input.seq, &event)) >= 0 || got == -ENOSPC;) {
      if (got < 0 || event == nullptr) continue;  // an overrun lost events; read on
      queue_sequencer_event(mixer, *event, play_delay_ns);
    }
  }
}

}  // namespace

std::optional<TimedStart> timed_start_for_event(const snd_seq_event_t& event,
                                                std::int64_t arrival_ns,
                                                std::int64_t play_delay_ns) {
  if (event.type != SND_SEQ_EVENT_NOTEON || event.data.note.velocity == 0) return std::nullopt;
  const auto voice = voice_for_note(event.data.note.note);
  if (!voice) return std::nullopt;
  return TimedStart{arrival_ns + play_delay_ns, playback_slot(*voice), event.data.note.velocity};
}

bool queue_sequencer_event(MixerState& mixer, const snd_seq_event_t& event,
                           std::int64_t (*play_delay_ns)()) {
  const auto start = timed_start_for_event(event, steady_now_ns(), play_delay_ns());
  return start && queue_timed_start(mixer, *start);
}

void start_sequencer_input(MixerState& mixer, std::int64_t (*play_delay_ns)()) {
  if (input.seq != nullptr) return;
  // Containers and machines without sound hardware have no sequencer: that is no fault.
  if (access("/dev/snd/seq", F_OK) != 0) return;
  snd_seq_t* seq = nullptr;
  if (const int err = snd_seq_open(&seq, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK);
      err < 0) {
    std::fprintf(stderr, "thumpa: no MIDI input: %s\n", snd_strerror(err));
    return;
  }
  snd_seq_set_client_name(seq, "Thumpa");
  const int port = snd_seq_create_simple_port(
      seq, "Thumpa", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
      SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
  if (port < 0) {
    std::fprintf(stderr, "thumpa: no MIDI input: %s\n", snd_strerror(port));
    snd_seq_close(seq);
    return;
  }
  input.seq = seq;
  input.stopping.store(false);
  input.reader = std::thread(read_events, std::ref(mixer), play_delay_ns);
}

bool sequencer_input_running() {
  return input.seq != nullptr;
}

void stop_sequencer_input() {
  if (input.seq == nullptr) return;
  input.stopping.store(true, std::memory_order_release);
  input.reader.join();
  snd_seq_close(input.seq);
  input.seq = nullptr;
}

}  // namespace thumpa
