// Real-time scheduling for a thread that runs the mixer, so that a busy machine does not make
// it miss its period.
#pragma once

namespace thumpa {

// Asks real-time priority for the calling thread: from RealtimeKit when the system bus has it,
// else directly with SCHED_FIFO when the process may (RLIMIT_RTPRIO, or root). Carries on
// quietly when refused: the thread then keeps its normal priority. Call once from the thread
// itself before it starts streaming; it may block for a D-Bus round trip.
void request_realtime_priority();

}  // namespace thumpa
