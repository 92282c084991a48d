"""A drum instrument played as a JACK client, for the end-to-end tests: a private dummy JACK
server, and a test client that sends note-ons at random frame offsets to the instrument's
midi_in and records its out_left. The check: with every voice as thumpa-render's raw samples
>> 16, the recording holds every note bit for bit, each the same number of frames after it was
sent (at most one period), with no gap and no xrun.
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


def raw_voices(build):
    render = os.path.join(build, "tools", "thumpa-render")
    voices = {}
    for voice in VOICES:
        out = subprocess.run([render, "--voice", voice, "--raw"], check=True,
                             capture_output=True, text=True).stdout.split()
        voices[voice] = np.array([int(s) >> 16 for s in out], dtype=np.int64)
    return voices


def wait_for(what, test, seconds=10.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if test():
            return
        time.sleep(0.05)
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


class Tester:
    """The test client's side of a run: sends the note-ons planned for each of its cycles (the
    first one the cycle after activation) to INSTRUMENT:midi_in and records
    INSTRUMENT:out_left. The main thread plans notes ahead of the cycle it reads."""

    def __init__(self, client, instrument):
        self.client = client
        self.instrument = instrument
        self.midi_out = client.midi_outports.register("midi_out")
        self.audio_in = client.inports.register("in")
        self.schedule = {}  # cycle -> [(offset, bytes)]
        self.sent, self.recorded = [], []  # (absolute frame, note), (absolute frame, bytes)
        self.cycle = 0
        self.xruns = []  # the cycle each xrun came in
        client.set_process_callback(self._process)
        client.set_xrun_callback(self._xrun)

    def _process(self, frames):
        self.midi_out.clear_buffer()
        for offset, data in self.schedule.get(self.cycle, ()):
            self.midi_out.write_midi_event(offset, data)
            self.sent.append((self.client.last_frame_time + offset, data[1]))
        self.recorded.append((self.client.last_frame_time, bytes(self.audio_in.get_buffer())))
        self.cycle += 1

    def _xrun(self, delay):
        self.xruns.append(self.cycle)

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

    def finish(self):
        self.client.deactivate()
        self.client.close()
        gc.enable()

    def cycles_in(self, seconds):
        return int(seconds * RATE / self.client.blocksize)

    def plan_random(self, first, seconds, rng):
        """Random notes, a few cycles apart, at random frames of cycles from FIRST on for
        SECONDS. Returns the cycle after the last one planned."""
        period, cycle, end = self.client.blocksize, first, first + self.cycles_in(seconds)
        while cycle < end:
            note = rng.choice(sorted(NOTES))
            self.schedule[cycle] = [(rng.randrange(period),
                                     bytes([0x90 | rng.randrange(16), note, 100]))]
            cycle += rng.randrange(4, 30)
        return end

    def wait_cycle(self, cycle, seconds=60):
        wait_for("cycle %d" % cycle, lambda: self.cycle >= cycle, seconds)

    def check(self, name, voices, first, end, period):
        """Checks the cycles [FIRST, END): every note sent in them bit for bit at one lag of at
        most PERIOD frames, at least 10 notes, no gap, no xrun. Prints what it found and returns
        the lag, or None when the check fails."""
        blocks = self.recorded[first:end]
        begin, stop = blocks[0][0], blocks[-1][0] + len(blocks[-1][1]) // 4
        notes = [(f, n) for f, n in self.sent if begin <= f < stop]
        lag, gaps = note_lag(voices, notes, blocks), gaps_in(blocks)
        xruns = [c for c in self.xruns if first <= c < end]
        print("%s: %d notes, %d-frame periods, lag %s frames, %d gaps, xruns in cycles %s of %d-%d"
              % (name, len(notes), period, lag, gaps, xruns, first, end))
        passed = lag is not None and lag <= period and len(notes) >= 10
        return lag if passed and not gaps and not xruns else None


def play_and_record(client, instrument, seconds, lead_in):
    """Sends note-ons to INSTRUMENT:midi_in from LEAD_IN seconds on and records
    INSTRUMENT:out_left for SECONDS. Returns the notes sent as (absolute frame, note), the
    recorded blocks as (absolute frame, float32 bytes) and the xruns the test client saw."""
    tester = Tester(client, instrument)
    total = tester.cycles_in(seconds)
    tester.plan_random(tester.cycles_in(lead_in), seconds - lead_in - 2.5, random.Random(20261207))
    tester.start()
    try:
        tester.wait_cycle(total, seconds + 30)
    finally:
        tester.finish()
    return tester.sent, tester.recorded, len(tester.xruns)


def values_of(recorded):
    """The recorded blocks as 16-bit values, or None when they are not 16-bit values / 32768."""
    values = np.concatenate([np.frombuffer(b, dtype=np.float32) for _, b in recorded])
    values = values.astype(np.float64) * 32768
    if not np.array_equal(values, np.round(values)):
        return None
    return values.astype(np.int64)


def note_lag(voices, sent, recorded):
    """The one lag, in frames, at which the recorded blocks hold every note sent, bit for bit;
    None when there is none. VOICES: each voice's values, by name."""
    origin = recorded[0][0]
    got = values_of(recorded)
    if got is None or not sent:
        return None

    def expected_with(lag):
        out = np.zeros(len(got), dtype=np.int64)
        by_voice = {}
        for frame, note in sent:
            by_voice.setdefault(NOTES[note], []).append(frame - origin + lag)
        for voice, onsets in by_voice.items():
            onsets.sort()
            for i, s in enumerate(onsets):
                end = min(s + len(voices[voice]),
                          onsets[i + 1] if i + 1 < len(onsets) else len(out), len(out))
                if s < end:
                    out[s:end] += voices[voice][:end - s]
        return np.clip(out, -32768, 32767)

    # The lag that the first note shows, which must then hold for the whole recording.
    first_frame, first_note = min(sent)
    heard = np.flatnonzero(got)
    voice_start = np.flatnonzero(voices[NOTES[first_note]])
    if not len(heard) or not len(voice_start):
        return None
    lag = int(heard[0] - voice_start[0] - (first_frame - origin))
    if lag < 0 or not np.array_equal(expected_with(lag), got):
        return None
    return lag


def gaps_in(recorded):
    """Blocks that do not follow the block before them."""
    return sum(1 for (a, block), (b, _) in zip(recorded, recorded[1:]) if b - a != len(block) // 4)


def check(voices, sent, recorded, seconds, xruns):
    """Prints what the recording shows and returns 0 when it passes, else 1. XRUNS: each
    client's count, by name."""
    gaps = gaps_in(recorded)
    print("notes sent: %d over %.1f s; recording gaps: %d; xruns: %s" % (
        len(sent), seconds, gaps, ", ".join("%s %d" % x for x in sorted(xruns.items()))))
    if values_of(recorded) is None:
        print("FAIL: the output is not 16-bit values / 32768")
        return 1
    lag = note_lag(voices, sent, recorded)
    if lag is None:
        print("FAIL: no single lag makes the recording the voices bit for bit")
        return 1
    print("every note bit-exact, %d frames after it was sent (period %d)" % (lag, PERIOD))
    if lag > PERIOD or gaps or any(xruns.values()) or len(sent) < 10:
        print("FAIL")
        return 1
    return 0
