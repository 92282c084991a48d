#!/usr/bin/python3
"""The plugin under a real host: jalv runs it as a JACK client on a private dummy JACK server,
and a test client sends note-ons at random frame offsets and records out_left. With every
voice's normalisation off, each voice must be thumpa-render's raw samples >> 16, bit for bit,
and every note must start the same number of frames after it was sent; no xrun.

usage: jalv_e2e.py BUILD_DIR SECONDS
"""
import os
import random
import signal
import subprocess
import sys
import time

import jack
import numpy as np

RATE = 44100
PERIOD = 512
NOTES = {36: "kick", 35: "kick", 38: "snare", 40: "snare", 42: "closed", 44: "closed",
         46: "open", 56: "cowbell", 75: "clave", 50: "blipp", 47: "oscillator"}
VOICES = sorted(set(NOTES.values()))
SKIP = 77


def raw_voice(render, voice):
    out = subprocess.run([render, "--voice", voice, "--raw"], check=True, capture_output=True,
                         text=True).stdout.split()
    return np.array([int(s) >> 16 for s in out], dtype=np.int64)


def wait_for(what, test, seconds=10.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if test():
            return
        time.sleep(0.05)
    raise RuntimeError("timed out waiting for " + what)


def main():
    build, seconds = os.path.abspath(sys.argv[1]), float(sys.argv[2])
    for tool in ("jackd", "jalv"):
        if subprocess.run(["which", tool], capture_output=True).returncode != 0:
            print(tool + " is not installed")
            return SKIP
    render = os.path.join(build, "tools", "thumpa-render")
    voices = {v: raw_voice(render, v) for v in VOICES}

    work = os.path.join(build, "tests", "lv2", "jalv_e2e")  # the servers' logs stay here
    os.makedirs(work, exist_ok=True)
    server = "thumpa_lv2_e2e_%d" % os.getpid()
    env = dict(os.environ, JACK_NO_AUDIO_RESERVATION="1", JACK_DEFAULT_SERVER=server,
               LV2_PATH=os.path.join(build, "lib", "lv2"))
    os.environ.update(env)
    procs = []
    try:
        jackd_log = open(os.path.join(work, "jackd.log"), "w")
        procs.append(subprocess.Popen(
            ["jackd", "-n", server, "-R", "-d", "dummy", "-r", str(RATE), "-p", str(PERIOD)],
            stdout=jackd_log, stderr=subprocess.STDOUT, env=env))
        client = None

        def connects():
            nonlocal client
            try:
                client = jack.Client("thumpa_tester", servername=server, no_start_server=True)
                return True
            except jack.JackError:
                return False

        wait_for("the JACK server", connects)

        # Every voice's normalisation off: what plays is then the raw render >> 16.
        controls = []
        for v in VOICES:
            controls += ["-c", v + "_normalize_before=0"]
        jalv_log = open(os.path.join(work, "jalv.log"), "w")
        jalv = subprocess.Popen(["jalv", "-x", "-n", "thumpa_lv2"] + controls +
                                ["urn:thumpa:lv2:drums"], stdin=subprocess.PIPE,
                                stdout=jalv_log, stderr=subprocess.STDOUT, env=env)
        procs.append(jalv)
        def jalv_ready():
            if jalv.poll() is not None:
                raise RuntimeError("jalv ended; see " + jalv_log.name)
            return len(client.get_ports("thumpa_lv2:")) >= 3

        wait_for("jalv's ports", jalv_ready)

        midi_out = client.midi_outports.register("midi_out")
        audio_in = client.inports.register("in")
        rng = random.Random(20261207)
        total_cycles = int(seconds * RATE / PERIOD)
        schedule = {}  # cycle -> (offset, bytes)
        cycle = int(1.5 * RATE / PERIOD)  # the worker has made the voices by then
        while cycle < total_cycles - int(2.5 * RATE / PERIOD):
            note = rng.choice(sorted(NOTES))
            schedule[cycle] = (rng.randrange(PERIOD), bytes([0x90 | rng.randrange(16), note, 100]))
            cycle += rng.randrange(4, 30)
        sent = []  # (absolute frame, note)
        recorded = []  # (absolute frame of the block, samples)
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

        client.activate()
        client.connect(midi_out, "thumpa_lv2:midi_in")
        client.connect("thumpa_lv2:out_left", audio_in)
        wait_for("the run", lambda: state["cycle"] >= total_cycles, seconds + 30)
        client.deactivate()
        client.close()

        # The recording, with its frame times; it must have no gaps.
        starts = [t for t, _ in recorded]
        gaps = sum(1 for a, b in zip(starts, starts[1:]) if b - a != PERIOD)
        origin = starts[0]
        signal_ = np.concatenate([np.frombuffer(b, dtype=np.float32) for _, b in recorded])
        values = signal_.astype(np.float64) * 32768
        if not np.array_equal(values, np.round(values)):
            print("FAIL: the output is not 16-bit values / 32768")
            return 1
        got = values.astype(np.int64)

        def expected_with(lag):
            out = np.zeros(len(got), dtype=np.int64)
            by_voice = {}
            for frame, note in sent:
                by_voice.setdefault(NOTES[note], []).append(frame - origin + lag)
            for voice, starts_ in by_voice.items():
                starts_.sort()
                for i, s in enumerate(starts_):
                    end = min(s + len(voices[voice]), starts_[i + 1] if i + 1 < len(starts_) else
                              len(out), len(out))
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
        print("notes sent: %d over %.1f s; recording gaps: %d; tester xruns: %d"
              % (len(sent), seconds, gaps, state["xruns"]))
        if lag is None:
            print("FAIL: no single lag makes the recording the voices bit for bit")
            return 1
        print("every note bit-exact, %d frames after it was sent (period %d)" % (lag, PERIOD))
        if lag > PERIOD or gaps or state["xruns"] or len(sent) < 10:
            print("FAIL")
            return 1
        return 0
    finally:
        for p in reversed(procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()


if __name__ == "__main__":
    sys.exit(main())
