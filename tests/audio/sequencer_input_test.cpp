// Which sequencer events start a voice, and when: without a sequencer device.
#include "audio/sequencer_input.h"

#include <gtest/gtest.h>

namespace thumpa {
namespace {

TEST(SequencerInput, NoteOnsOfMappedNotesStartTheirSlotAtTheirVelocityOneDelayAfterArrival) {
  const struct {
    snd_seq_event_type_t type;
    int channel, note, velocity;
    int slot;  // -1: no start
  } cases[] = {
      {SND_SEQ_EVENT_NOTEON, 9, 36, 100, 4},  // Kick, fifth in the menus,
      {SND_SEQ_EVENT_NOTEON, 0, 47, 1, 7},    // Oscillator, on any channel
      {SND_SEQ_EVENT_NOTEON, 15, 75, 127, 1},
      {SND_SEQ_EVENT_NOTEON, 9, 38, 0, -1},  // velocity 0 is a note-off
      {SND_SEQ_EVENT_NOTEOFF, 9, 38, 64, -1},
      {SND_SEQ_EVENT_NOTEON, 9, 37, 100, -1},  // not in the map
      {SND_SEQ_EVENT_CONTROLLER, 9, 36, 100, -1},
  };
  for (const auto& c : cases) {
    snd_seq_event_t event{};
    event.type = c.type;
    event.data.note.channel = static_cast<unsigned char>(c.channel);
    event.data.note.note = static_cast<unsigned char>(c.note);
    event.data.note.velocity = static_cast<unsigned char>(c.velocity);
    const auto start = timed_start_for_event(event, 7'000'000'123, 6'805'442);
    if (c.slot < 0) {
      EXPECT_FALSE(start) << c.note;
    } else {
      ASSERT_TRUE(start) << c.note;
      EXPECT_EQ(start->slot, c.slot) << c.note;
      EXPECT_EQ(start->velocity, c.velocity) << c.note;
      EXPECT_EQ(start->due_ns, 7'006'805'565) << c.note;
    }
  }

  // The reader thread's step asks for the delay at each event and queues the start due then.
  MixerState mixer;
  snd_seq_event_t kick{};
  kick.type = SND_SEQ_EVENT_NOTEON;
  kick.data.note.note = 36;
  kick.data.note.velocity = 90;
  static std::int64_t delay_ns;
  for (const std::int64_t delay : {23'219'954, 6'805'442}) {
    delay_ns = delay;
    const std::int64_t before = steady_now_ns();
    ASSERT_TRUE(queue_sequencer_event(mixer, kick, [] { return delay_ns; }));
    const std::int64_t after = steady_now_ns();
    const TimedStart& queued = mixer.timed_starts.entries[mixer.timed_starts.written.load() - 1];
    EXPECT_GE(queued.due_ns, before + delay);
    EXPECT_LE(queued.due_ns, after + delay);
    EXPECT_EQ(queued.velocity, 90);
  }
}

}  // namespace
}  // namespace thumpa
