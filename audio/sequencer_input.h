// MIDI input beside a desktop sound server: an ALSA sequencer client with one input port named
// "Thumpa", read by a thread of its own that hands each note-on of a voice to the mixer, due a
// constant delay after it arrived (the same delay as a key's, taken again for every event, as
// the sound server may change it).
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>
#include <optional>

#include "audio/mixer.h"

namespace thumpa {

// The start a sequencer event asks for, when it is a note-on (velocity above 0, any channel) of
// a note the note map lists: that note's voice at its velocity, due play_delay_ns after
// arrival_ns.
std::optional<TimedStart> timed_start_for_event(const snd_seq_event_t& event,
                                                std::int64_t arrival_ns,
                                                std::int64_t play_delay_ns);

// The reader thread's step for each event it reads: the start it asks for, due the play delay
// as play_delay_ns says it now after the event's arrival (now), queued to the mixer. False when
// the event starts nothing or the queue is full.
bool queue_sequencer_event(MixerState& mixer, const snd_seq_event_t& event,
                           std::int64_t (*play_delay_ns)());

// Creates the port and starts its thread, which asks play_delay_ns (safe from any thread) for
// the delay of each event. Where the system has no sequencer (no
// /dev/snd/seq) nothing starts and nothing is said; any other failure says so in one stderr
// line. The program plays on either way.
void start_sequencer_input(MixerState& mixer, std::int64_t (*play_delay_ns)());

// True while the port exists and its thread reads it.
bool sequencer_input_running();

// Stops the thread and removes the port. Does nothing when not started.
void stop_sequencer_input();

}  // namespace thumpa
