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


def start_server(work, name):
    """Starts a private dummy server (its log in WORK) and connects the test client to it.
    Returns the server's process, the environment its clients need, and the test client."""
    server = "%s_%d" % (name, os.getpid())
    env = dict(os.environ, JACK_NO_AUDIO_RESERVATION="1", JACK_DEFAULT_SERVER=server)
    os.environ.update(env)
    log = open(os.path.join(work, "jackd.log"), "w")
    jackd = subprocess.Popen(
        ["jackd", "-n", server, "-R", "-d", "dummy", "-r", str(RATE), "-p", str(PERIOD)],
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


def play_and_record(client, instrument, seconds, lead_in):
    """Sends note-ons to INSTRUMENT:midi_in from LEAD_IN seconds on and records
    INSTRUMENT:out_left for SECONDS. Returns the notes sent as (absolute frame, note), the
    recorded blocks as (absolute frame, float32 bytes) and the xruns the test client saw."""
    midi_out = client.midi_outports.register("midi_out")
    audio_in = client.inports.register("in")
    rng = random.Random(20261207)
    total_cycles = int(seconds * RATE / PERIOD)
    schedule = {}  # cycle -> (offset, bytes)
    cycle = int(lead_in * RATE / PERIOD)
    while cycle < total_cycles - int(2.5 * RATE / PERIOD):
        note = rng.choice(sorted(NOTES))
        schedule[cycle] = (rng.randrange(PERIOD), bytes([0x90 | rng.randrange(16), note, 100]))
        cycle += rng.randrange(4, 30)
    sent, recorded = [], []
    state = {"cycle": 0, "xruns": 0}

    @client.set_process_callback
    def process(frames):
        midi_out.clear_buffer()
        event = schedule.get(state["cycle"])
        if event is not None:
            midi_out.write_midi_event(event[0], event[1])
            sent.append((client.last_frame_time + event[0], event[1][1]))
        recorded.append((client.last_frame_time, bytes(audio_in.get_buffer())))
        state["cycle"] += 1

    @client.set_xrun_callback
    def xrun(delay):
        state["xruns"] += 1

    # The collector must not hold up the process callback for longer than a period.
    gc.disable()
    try:
        client.activate()
        client.connect(midi_out, instrument + ":midi_in")
        client.connect(instrument + ":out_left", audio_in)
        wait_for("the run", lambda: state["cycle"] >= total_cycles, seconds + 30)
        client.deactivate()
    finally:
        gc.enable()
    client.close()
    return sent, recorded, state["xruns"]


def check(voices, sent, recorded, seconds, xruns):
    """Prints what the recording shows and returns 0 when it passes, else 1. XRUNS: each
    client's count, by name."""
    starts = [t for t, _ in recorded]
    gaps = sum(1 for a, b in zip(starts, starts[1:]) if b - a != PERIOD)
    origin = starts[0]
    values = np.concatenate([np.frombuffer(b, dtype=np.float32) for _, b in recorded])
    values = values.astype(np.float64) * 32768
    if not np.array_equal(values, np.round(values)):
        print("FAIL: the output is not 16-bit values / 32768")
        return 1
    got = values.astype(np.int64)

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
    lag = None
    if len(heard) and len(voice_start):
        lag = int(heard[0] - voice_start[0] - (first_frame - origin))
        if lag < 0 or not np.array_equal(expected_with(lag), got):
            lag = None
    print("notes sent: %d over %.1f s; recording gaps: %d; xruns: %s" % (
        len(sent), seconds, gaps, ", ".join("%s %d" % x for x in sorted(xruns.items()))))
    if lag is None:
        print("FAIL: no single lag makes the recording the voices bit for bit")
        return 1
    print("every note bit-exact, %d frames after it was sent (period %d)" % (lag, PERIOD))
    if lag > PERIOD or gaps or any(xruns.values()) or len(sent) < 10:
        print("FAIL")
        return 1
    return 0
