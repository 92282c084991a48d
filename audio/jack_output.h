// The JACK client: ports out_left and out_right (the same signal) and the MIDI input port
// midi_in, on a JACK server that is running already (it never starts one). The mixer runs in
// JACK's process callback and starts each note of midi_in at its own frame of the cycle.
#pragma once

#include "audio/output_backend.h"

namespace thumpa {

extern const OutputBackend JACK_OUTPUT;

// Whether opening connects out_left and out_right to the first two physical playback ports
// (the default), or leaves the connections to the user.
void set_jack_connects_ports(bool connect);

}  // namespace thumpa
