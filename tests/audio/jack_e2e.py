#!/usr/bin/python3
"""The JACK client on a private dummy JACK server: a test client sends note-ons at random frame
offsets to thumpa:midi_in and records thumpa:out_left. Every voice must be thumpa-render's raw
samples >> 16, bit for bit, every note must start the same number of frames after it was sent
(at most one period), and no xrun may be counted by either client. Then the server is stopped
under the client, which must say so once and carry on until it is closed.

usage: jack_e2e.py BUILD_DIR PLAYER SECONDS
"""
import gc
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


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def main():
    build, player_path, seconds = os.path.abspath(sys.argv[1]), sys.argv[2], float(sys.argv[3])
    if subprocess.run(["which", "jackd"], capture_output=True).returncode != 0:
        print("jackd is not installed")
        return SKIP
    render = os.path.join(build, "tools", "thumpa-render")
    voices = {v: raw_voice(render, v) for v in VOICES}

    work = os.path.join(build, "tests", "audio", "jack_e2e")  # the server's log stays here
    os.makedirs(work, exist_ok=True)
    server = "thumpa_jack_e2e_%d" % os.getpid()
    env = dict(os.environ, JACK_NO_AUDIO_RESERVATION="1", JACK_DEFAULT_SERVER=server)
    os.environ.update(env)
    jackd = player = None
    try:
        jackd_log = open(os.path.join(work, "jackd.log"), "w")
        jackd = subprocess.Popen(
            ["jackd", "-n", server, "-R", "-d", "dummy", "-r", str(RATE), "-p", str(PERIOD)],
            stdout=jackd_log, stderr=subprocess.STDOUT, env=env)
        client = None

        def connects():
            nonlocal client
            try:
                client = jack.Client("thumpa_tester", servername=server, no_start_server=True)
                return True
            except jack.JackError:
                return False

        wait_for("the JACK server", connects)

        player_log = open(os.path.join(work, "player.log"), "w")
        player = subprocess.Popen([player_path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=player_log, env=env, text=True)
        ready = player.stdout.readline()  # empty when the player ended
        if not ready.startswith("ready"):
            print("FAIL: the player did not start; see " + player_log.name)
            return 1
        if len(client.get_ports("thumpa:")) != 3:
            print("FAIL: the client's ports are " + str(client.get_ports("thumpa:")))
            return 1

        midi_out = client.midi_outports.register("midi_out")
        audio_in = client.inports.register("in")
        rng = random.Random(20261207)
        total_cycles = int(seconds * RATE / PERIOD)
        schedule = {}  # cycle -> (offset, bytes)
        cycle = int(0.5 * RATE / PERIOD)
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

        # The collector must not stop this process callback for longer than a period.
        gc.disable()
        client.activate()
        client.connect(midi_out, "thumpa:midi_in")
        client.connect("thumpa:out_left", audio_in)
        wait_for("the run", lambda: state["cycle"] >= total_cycles, seconds + 30)
        client.deactivate()
        client.close()
        gc.enable()

        jackd.send_signal(signal.SIGTERM)
        jackd.wait(10)
        time.sleep(0.5)
        player_out, _ = player.communicate(timeout=10)
        player_xruns = int(player_out.split("xruns:")[1].split()[0]) if "xruns:" in player_out else -1
        with open(player_log.name) as log:
            told = log.read().count("The JACK server has stopped")
        if player.returncode != 0 or told != 1:
            print("FAIL: with the server gone the player ended with %d and said so %d times"
                  % (player.returncode, told))
            return 1

        # The recording, with its frame times; it must have no gaps.
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
        print("notes sent: %d over %.1f s; recording gaps: %d; xruns: tester %d, thumpa %d"
              % (len(sent), seconds, gaps, state["xruns"], player_xruns))
        if lag is None:
            print("FAIL: no single lag makes the recording the voices bit for bit")
            return 1
        print("every note bit-exact, %d frames after it was sent (period %d)" % (lag, PERIOD))
        if lag > PERIOD or gaps or state["xruns"] or player_xruns != 0 or len(sent) < 10:
            print("FAIL")
            return 1
        return 0
    finally:
        for proc in (player, jackd):
            if proc is not None:
                if proc is player and proc.stdin and not proc.stdin.closed:
                    proc.stdin.close()
                stop(proc)


if __name__ == "__main__":
    sys.exit(main())
