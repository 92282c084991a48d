"""A drum instrument played as a JACK client, for the end-to-end tests: a private dummy JACK
server, and a test client that sends note-ons at random frame offsets and velocities to the
instrument's midi_in and records its out_left and its eight per-voice outputs. The check: with
every voice as thumpa-render's raw samples >> 16, each note played at its velocity
((s * g[v]) >> 15, g[v] = round(32768 * (v / 127)^2)), and an open hi-hat stopped by a closed
one when the choke is on, the mix and each voice's own output hold every note bit for bit,
each the same number of frames after it was sent (at most one period), with no gap and no xrun.

Where the server can, a segment of notes runs in freewheel: the server runs its cycles back to
back and waits for every client, so a machine that holds a thread back slows the run and cannot
break it; notes are placed and recordings read by frames, which freewheel keeps. A run in real
time can lose a cycle when the machine stalls: a gap or an xrun is then a timing failure, told
as "TIMING FAIL <start s> <end s>: ..." on CLOCK_MONOTONIC (see realtime_guard.py), and the
frames recorded around it must still be exact.
"""
import gc
import os
import random
import signal
import subprocess
import time

import jack
import numpy as np

RATE = 44100
PERIOD = 512
NOTES = {36: "kick", 35: "kick", 38: "snare", 40: "snare", 42: "closed", 44: "closed",
         46: "open", 56: "cowbell", 75: "clave", 50: "blipp", 47: "oscillator"}
VOICES = sorted(set(NOTES.values()))
SKIP = 77


def raw_voice(build, voice, *options):
    """thumpa-render's raw samples of VOICE (with OPTIONS such as --set) >> 16."""
    out = subprocess.run([os.path.join(build, "tools", "thumpa-render"), "--voice", voice,
                          "--raw", *options], check=True, capture_output=True, text=True).stdout
    return np.array([int(s) >> 16 for s in out.split()], dtype=np.int64)


def raw_voices(build):
    return {voice: raw_voice(build, voice) for voice in VOICES}


def wait_for(what, test, seconds=10.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if test():
            return
        time.sleep(0.01)
    raise RuntimeError("timed out waiting for " + what)


def stop(proc):
    """Ends a process this test started, by its PID."""
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(5)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def start_server(work, name, period=PERIOD, server=None):
    """Starts a private dummy server (its log in WORK) and connects the test client to it.
    SERVER: the name of a server started before, to start it again. Returns the server's
    process, the environment its clients need, and the test client."""
    server = server or "%s_%d" % (name, os.getpid())
    env = dict(os.environ, JACK_NO_AUDIO_RESERVATION="1", JACK_DEFAULT_SERVER=server)
    os.environ.update(env)
    log = open(os.path.join(work, "jackd.log"), "a")
    jackd = subprocess.Popen(
        ["jackd", "-n", server, "-R", "-d", "dummy", "-r", str(RATE), "-p", str(period)],
        stdout=log, stderr=subprocess.STDOUT, env=env)
    client = None

    def connects():
        nonlocal client
        try:
            client = jack.Client("thumpa_tester", servername=server, no_start_server=True)
            return True
        except jack.JackError:
            return False

    try:
        wait_for("the JACK server", connects)
    except RuntimeError:
        stop(jackd)
        raise
    return jackd, env, client


def gain(velocity):
    """g[v] of the velocity curve, in whole numbers."""
    return (2 * 32768 * velocity * velocity + 127 * 127) // (2 * 127 * 127)


class Tester:
    """The test client's side of a run: sends the note-ons planned for each of its cycles (the
    first one the cycle after activation) to INSTRUMENT:midi_in and records
    INSTRUMENT:out_left and each voice's own output, for up to SECONDS at 48000 Hz. The main
    thread plans notes ahead of the cycle it reads. CHOKE: whether the instrument's hi-hat
    choke is on."""

    def __init__(self, client, instrument, choke=False, seconds=40, record_voices=True,
                 count_frames=False):
        self.client = client
        self.instrument = instrument
        self.choke = choke
        self.midi_out = client.midi_outports.register("midi_out")
        self.audio_in = client.inports.register("in")
        self.voice_in = [client.inports.register(v) for v in VOICES] if record_voices else []
        # The process callback copies each port's period into memory filled beforehand, with
        # the library's own calls: it allocates nothing, meets no page the system has yet to
        # give, and spends little time holding the interpreter lock.
        self._ports = [p._ptr for p in [self.audio_in] + self.voice_in]
        self._capacity = int(seconds * 48000)
        self._store = np.full((len(self._ports), self._capacity), 0.0, dtype=np.float32)
        self._store_ptr = jack._ffi.cast("float *", jack._ffi.from_buffer(self._store))
        self._blocks = []  # (absolute frame, offset in the store or -1, frames) of each cycle
        self._filled = 0
        # Only the cycles from record_from to before record_until are stored; the others are
        # counted and read as silence: freewheel runs on while the main thread turns it off,
        # faster than real time.
        self.record_from, self.record_until = 0, float("inf")
        self.schedule = {}  # cycle -> [(offset, bytes)]
        # A plan of notes by cycles from its start ({cycle: [(offset, bytes)]}, see start_later),
        # and the first cycle it may start in; the callback starts it, so no note of it is lost
        # however late the main thread hands it over.
        self._later = None
        self._later_from = 0
        self.later_began = None  # the cycle the plan started in
        self.sent = []  # (absolute frame, note, velocity)
        self.cycle = 0
        # Frames counted by the tester itself instead of the server's frame time, which
        # PipeWire's JACK server does not advance steadily in freewheel.
        self.count_frames = count_frames
        self._frames = 0
        self.xruns = []  # the cycle each xrun came in
        # When each cycle began on CLOCK_MONOTONIC, to place a gap or an xrun for the guard.
        self._times = np.zeros(self._capacity // 64 + 1, dtype=np.float64)
        self.freewheeling = False
        self.freewheel_cycles = []  # (cycle, on) at each change the server told
        client.set_process_callback(self._process)
        client.set_xrun_callback(self._xrun)
        client.set_freewheel_callback(self._freewheel)

    def _process(self, frames):
        if self.cycle < len(self._times):
            self._times[self.cycle] = time.monotonic()
        now = self._frames if self.count_frames else self.client.last_frame_time
        self._frames += frames
        self.midi_out.clear_buffer()
        if self._later is not None and self.cycle >= self._later_from:
            for c, notes in self._later.items():
                self.schedule[self.cycle + c] = notes
            self.later_began, self._later = self.cycle, None
        for offset, data in self.schedule.get(self.cycle, ()):
            self.midi_out.write_midi_event(offset, data)
            self.sent.append((now + offset, data[1], data[2]))
        if not self.record_from <= self.cycle < self.record_until:
            self._blocks.append((now, -1, frames))
        elif self._filled + frames <= self._capacity:  # otherwise the cycle is lost: a gap
            at = self._store_ptr + self._filled
            for k, port in enumerate(self._ports):
                jack._ffi.memmove(at + k * self._capacity,
                                  jack._lib.jack_port_get_buffer(port, frames), 4 * frames)
            self._blocks.append((now, self._filled, frames))
            self._filled += frames
        self.cycle += 1

    @property
    def recorded(self):
        """Each recorded cycle of out_left as (absolute frame, float32 bytes)."""
        return [(f, self._store[0, o:o + n].tobytes() if o >= 0 else bytes(4 * n))
                for f, o, n in self._blocks]

    @property
    def voices_recorded(self):
        """Each recorded cycle of the voices' own outputs: their bytes in the order of VOICES."""
        if not self.voice_in:
            return []
        return [tuple(self._store[k, o:o + n].tobytes() if o >= 0 else bytes(4 * n)
                      for k in range(1, len(self._ports))) for _, o, n in self._blocks]

    def _xrun(self, delay):
        self.xruns.append(self.cycle)

    def _freewheel(self, starting):
        self.freewheeling = bool(starting)
        self.freewheel_cycles.append((self.cycle, bool(starting)))

    def freewheel(self, on):
        """Asks the server to run freewheel or real time, and waits until it says it does."""
        self.client.set_freewheel(on)
        wait_for("freewheel " + ("on" if on else "off"), lambda: self.freewheeling == on)

    def time_of(self, cycle):
        """When CYCLE began on CLOCK_MONOTONIC (the nearest one noted)."""
        return float(self._times[max(0, min(cycle, self.cycle - 1, len(self._times) - 1))])

    def timing_fail(self, first_cycle, last_cycle, text):
        """Prints a timing failure over the cycles FIRST_CYCLE to LAST_CYCLE, a period each way."""
        print("TIMING FAIL %.6f %.6f: %s" % (self.time_of(first_cycle - 1),
                                            self.time_of(last_cycle + 1), text))

    def start(self, connect=True):
        # The collector must not hold up the process callback for longer than a period, and
        # neither may this thread, preempted by another program while it holds the interpreter
        # lock that the callback waits for: it runs at a real-time priority below JACK's.
        gc.disable()
        try:
            os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(5))
        except OSError:
            pass
        self.client.activate()
        if connect:
            self.connect()

    def connect(self):
        self.client.connect(self.midi_out, self.instrument + ":midi_in")
        self.client.connect(self.instrument + ":out_left", self.audio_in)
        for voice, port in zip(VOICES, self.voice_in):
            self.client.connect(self.instrument + ":" + voice, port)

    def finish(self):
        self.client.deactivate()
        self.client.close()
        gc.enable()

    def cycles_in(self, seconds):
        return int(seconds * RATE / self.client.blocksize)

    def plan_random(self, first, seconds, rng, schedule=None):
        """Random notes at random velocities, a few cycles apart, at random frames of cycles
        from FIRST on for SECONDS, the first two an open hi-hat and a closed one while it
        sounds, into SCHEDULE (the tester's own when None). Returns the cycle after the last
        one planned."""
        schedule = self.schedule if schedule is None else schedule
        period, end = self.client.blocksize, first + self.cycles_in(seconds)

        def note(n):
            return (rng.randrange(period), bytes([0x90 | rng.randrange(16), n, rng.randrange(1, 128)]))

        schedule[first] = [note(46)]
        schedule[first + 2] = [note(42)]
        cycle = first + 2 + rng.randrange(4, 30)
        while cycle < end:
            schedule[cycle] = [note(rng.choice(sorted(NOTES)))]
            cycle += rng.randrange(4, 30)
        return end

    def start_later(self, plan, earliest):
        """Starts PLAN (notes by cycles from its start) in cycle EARLIEST or, when that has
        passed by the time the callback sees it, in the cycle it does. Returns that cycle."""
        self.later_began, self._later_from, self._later = None, earliest, plan
        wait_for("the plan to start", lambda: self.later_began is not None)
        return self.later_began

    def settle(self, voices, needed=8, most=100):
        """Sends a full clave, one at a time, until NEEDED of them in a row are heard bit for
        bit on the clave's own output, each the same number of frames after it was sent (at
        most a period): a server that moves its clients into freewheel one at a time has then
        moved them all. Only the cycles each clave is heard in are recorded. Gives up after
        MOST claves. Returns the first cycle after the last clave, or None when the claves
        never kept one lag."""
        clave, port = voices["clave"], 1 + VOICES.index("clave")
        onset = int(np.flatnonzero(clave)[0])
        period = self.client.blocksize
        cycles = -(-(period + len(clave)) // period)  # the clave at a lag of up to a period
        length = cycles * period
        lags = []
        for _ in range(most):
            # A few cycles ahead: freewheel runs about 15 of them a millisecond.
            before, probe = len(self.sent), self.cycle + 16
            self.record_from, self.record_until = probe, probe + cycles
            self.schedule[probe] = [(0, bytes([0x99, 75, 127]))]
            self.wait_cycle(probe + cycles + 1)
            self.schedule.pop(probe, None)
            got, blocks = None, self._blocks  # a block a cycle, until the store is full
            offset = blocks[probe][1] if probe < len(blocks) else -1
            if len(self.sent) > before and offset >= 0:  # not sent if the callback passed it
                got = np.round(self._store[port, offset:offset + length] * 32768).astype(np.int64)
            heard = np.flatnonzero(got) if got is not None else []
            lag = int(heard[0]) - onset if len(heard) else -1
            expected = np.zeros(length, dtype=np.int64)
            if 0 <= lag <= period:
                expected[lag:lag + len(clave)] = clave
            if got is None or not 0 <= lag <= period or not np.array_equal(got, expected):
                lags = []
            elif lags and lags[-1] != lag:
                lags = [lag]
            else:
                lags.append(lag)
            if len(lags) == needed:
                print("in step after %d claves, at a lag of %d frames" % (_ + 1, lag))
                return self.cycle
        print("FAIL: of %d claves sent in freewheel, never %d in a row were heard at one lag"
              % (most, needed))
        return None

    def play_in_freewheel(self, first, end):
        """Runs the cycles from a little before FIRST to END in freewheel, recording them, then
        real time again. False (and a FAIL line) when freewheel began after FIRST."""
        self.wait_cycle(max(0, first - self.cycles_in(0.4)))
        self.record_until = end
        self.freewheel(True)
        self.wait_cycle(end)
        self.freewheel(False)
        self.record_until = float("inf")
        on = [c for c, starting in self.freewheel_cycles if starting]
        if not on or on[-1] > first:
            print("FAIL freewheel began in cycle %s, after the segment's first, %d" % (on, first))
            return False
        return True

    def wait_cycle(self, cycle, seconds=120):
        wait_for("cycle %d" % cycle, lambda: self.cycle >= cycle, seconds)

    def check(self, name, voices, first, end, period):
        """Checks the cycles [FIRST, END): every note sent in them bit for bit at one lag of at
        most PERIOD frames, at least 10 notes, no gap, no xrun. Prints what it found, a FAIL
        line for each failure (TIMING FAIL for a gap or an xrun) and returns the lag, or None
        when the check fails."""
        blocks = self.recorded[first:end]
        begin, stop = blocks[0][0], blocks[-1][0] + len(blocks[-1][1]) // 4
        notes = [n for n in self.sent if begin <= n[0] < stop]
        lag = note_lag(voices, notes, blocks, self.choke, self.voices_recorded[first:end])
        gaps = gap_cycles(blocks)
        xruns = [c for c in self.xruns if first <= c < end]
        print("%s: %d notes, %d-frame periods, choke %s, lag %s frames, gaps before cycles %s, "
              "xruns in cycles %s of %d-%d" % (name, len(notes), period,
                                              "on" if self.choke else "off", lag,
                                              [first + g for g in gaps], xruns, first, end))
        passed = True
        if lag is None or lag > period:
            print("FAIL %s: no single lag of at most %d frames makes the recording every note "
                  "bit for bit (lag %s)" % (name, period, lag))
            passed = False
        if len(notes) < 10:
            print("FAIL %s: %d notes, fewer than 10" % (name, len(notes)))
            passed = False
        for g in gaps:
            self.timing_fail(first + g - 1, first + g, "%s: the recording has a gap before "
                             "cycle %d" % (name, first + g))
        for c in xruns:
            self.timing_fail(c - 1, c, "%s: an xrun in cycle %d" % (name, c))
        return lag if passed and not gaps and not xruns else None


def play_and_record(client, instrument, seconds, lead_in, choke):
    """Sends note-ons to INSTRUMENT:midi_in from LEAD_IN seconds on and records its outputs
    for SECONDS. The lead-in runs in real time (the instrument may make its voices on a thread
    of its own meanwhile), the notes in freewheel. Returns the tester, finished."""
    tester = Tester(client, instrument, choke, seconds + 5)
    total = tester.total = tester.cycles_in(seconds)
    first = tester.cycles_in(lead_in)
    tester.plan_random(first, seconds - lead_in - 2.5, random.Random(20261207))
    tester.start()
    try:
        tester.play_in_freewheel(first, total)
    finally:
        tester.finish()
    return tester


def values_of(recorded):
    """The recorded blocks ((absolute frame, float32 bytes)) as 16-bit values, each at its frame
    from the first block's (a gap holds zeros), or None when they are not 16-bit values /
    32768."""
    origin = recorded[0][0]
    values = np.zeros(recorded[-1][0] + len(recorded[-1][1]) // 4 - origin, dtype=np.float64)
    for frame, block in recorded:
        samples = np.frombuffer(block, dtype=np.float32)
        values[frame - origin:frame - origin + len(samples)] = samples
    values *= 32768
    if not np.array_equal(values, np.round(values)):
        return None
    return values.astype(np.int64)


def recorded_mask(recorded):
    """Which frames from the first block's on the blocks hold: all but a gap's."""
    origin = recorded[0][0]
    mask = np.zeros(recorded[-1][0] + len(recorded[-1][1]) // 4 - origin, dtype=bool)
    for frame, block in recorded:
        mask[frame - origin:frame - origin + len(block) // 4] = True
    return mask


def expected_outputs(voices, sent, length, choke):
    """Each voice's own output over LENGTH frames as the notes SENT ((frame, note, velocity),
    frames counted from the recording's first) play it: each note at its velocity, until the
    voice ends or starts again, or, for the open hi-hat with the choke on, until a closed
    hi-hat starts after it. Also how many open hi-hats the choke cut."""
    onsets = {}
    for frame, note, velocity in sent:
        onsets.setdefault(NOTES[note], []).append((frame, velocity))
    cuts = {voice: sorted(f for f, _ in notes) for voice, notes in onsets.items()}
    if choke:
        cuts["open"] = sorted(cuts.get("open", []) + cuts.get("closed", []))
    outputs, choked, closed = {}, 0, set(cuts.get("closed", []))
    for voice in VOICES:
        track = np.zeros(length, dtype=np.int64)
        for s, velocity in sorted(onsets.get(voice, [])):
            later = [c for c in cuts[voice] if c > s]
            ring = s + len(voices[voice])
            end = min(ring, later[0] if later else length, length)
            choked += choke and voice == "open" and end < ring and end in closed
            if s < end:
                track[s:end] = (voices[voice][:end - s] * gain(velocity)) >> 15
        outputs[voice] = track
    return outputs, choked


def note_lag(voices, sent, recorded, choke=False, voices_recorded=None):
    """The one lag, in frames, at which the recorded blocks hold every note sent, bit for bit,
    in the mix and, when VOICES_RECORDED (per block, each voice's bytes in the order of
    VOICES) is given, on each voice's own output; None when there is none. VOICES: each
    voice's values, by name. Frames a gap lost are not compared."""
    origin = recorded[0][0]
    got, mask = values_of(recorded), recorded_mask(recorded)
    if got is None or not sent:
        return None
    own = None
    if voices_recorded:
        own = {v: values_of([(f, block[i]) for (f, _), block in zip(recorded, voices_recorded)])
               for i, v in enumerate(VOICES)}
        if any(values is None for values in own.values()):
            print("a voice's own output is not 16-bit values / 32768")
            return None

    # The lag that the first note shows, which must then hold for the whole recording.
    first_frame, first_note, first_velocity = min(sent)
    heard = np.flatnonzero(got)
    voice_start = np.flatnonzero((voices[NOTES[first_note]] * gain(first_velocity)) >> 15)
    if not len(heard) or not len(voice_start):
        return None
    lag = int(heard[0] - voice_start[0] - (first_frame - origin))
    if lag < 0:
        return None
    expected, choked = expected_outputs(
        voices, [(f - origin + lag, n, v) for f, n, v in sent], len(got), choke)
    mix = np.clip(sum(expected.values()), -32768, 32767)
    wrong = [v for v in VOICES
             if own is not None and not np.array_equal(expected[v][mask], own[v][mask])]
    print("open hi-hats choked: %d; voices' own outputs %s" % (
        choked, "not recorded" if own is None else "wrong: %s" % wrong if wrong else "exact"))
    if not np.array_equal(mix[mask], got[mask]) or wrong:
        return None
    return lag


def gap_cycles(recorded):
    """The indices of the blocks that do not follow the block before them."""
    return [i + 1 for i, ((a, block), (b, _)) in enumerate(zip(recorded, recorded[1:]))
            if b - a != len(block) // 4]


def check(voices, tester, seconds):
    """Checks the run from the cycle freewheel began to the last one planned (see Tester.check)
    and returns 0 when it passes, else 1."""
    on = [c for c, starting in tester.freewheel_cycles if starting]
    first, end = (on[0] if on else 0), tester.total
    print("notes sent: %d over %.1f s; freewheel from cycle %s" % (len(tester.sent), seconds, on))
    if not on or tester.check("jalv", voices, first, end, PERIOD) is None:
        return 1
    return 0
