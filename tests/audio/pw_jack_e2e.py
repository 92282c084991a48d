#!/usr/bin/python3
"""The JACK client on PipeWire's JACK server, in a private PipeWire session without a sound
card, while the graph's rate changes under it (see tests/support/jack_note_run.py): at 44100 Hz
every note on midi_in is the voice bit for bit at one lag; then the graph is forced to 48000 Hz
and, without a restart of the client, every later note is the voice as the program resamples it
for 48000 Hz, bit for bit at one lag. Skipped when PipeWire's JACK server cannot run here.

usage: pw_jack_e2e.py BUILD_DIR PLAYER SECONDS
"""
import os
import random
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SKIP = 77
NEEDED = ["pw-jack", "pipewire", "wireplumber", "dbus-daemon", "pw-metadata"]


def start_session(work):
    """Starts dbus-daemon, pipewire and wireplumber on a fresh runtime folder in WORK; returns
    their processes, in the order started."""
    run_dir = os.path.join(work, "run")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(run_dir, mode=0o700)
    os.makedirs(os.path.join(work, "home"))
    bus = "unix:path=" + os.path.join(run_dir, "bus")
    os.environ.update(HOME=os.path.join(work, "home"), XDG_RUNTIME_DIR=run_dir,
                      DBUS_SESSION_BUS_ADDRESS=bus)
    for name in ("PIPEWIRE_REMOTE", "JACK_DEFAULT_SERVER"):
        os.environ.pop(name, None)
    procs = []

    def start(args, name):
        log = open(os.path.join(work, name + ".log"), "w")
        procs.append(subprocess.Popen(args, stdout=log, stderr=subprocess.STDOUT))

    start(["dbus-daemon", "--session", "--nofork", "--address=" + bus], "dbus")
    for _ in range(50):
        if os.path.exists(os.path.join(run_dir, "bus")):
            break
        time.sleep(0.1)
    start(["pipewire"], "pipewire")
    time.sleep(0.4)
    start(["wireplumber"], "wireplumber")
    return procs


def force(key, value):
    subprocess.run(["pw-metadata", "-n", "settings", "0", key, str(value)], check=True,
                   capture_output=True)


def voice_values(player, rate):
    out = subprocess.run([player, "--values-at", str(rate)], check=True, capture_output=True,
                         text=True).stdout
    import numpy as np
    return {line.split()[0]: np.array([int(v) for v in line.split()[1:]], dtype=np.int64)
            for line in out.splitlines()}


def main():
    build, player_path, seconds = os.path.abspath(sys.argv[1]), sys.argv[2], float(sys.argv[3])
    missing = [p for p in NEEDED if shutil.which(p) is None]
    if missing:
        print("skipped: %s not installed" % ", ".join(missing))
        return SKIP
    work = os.path.join(build, "tests", "audio", "pw_jack_e2e")
    if os.environ.get("THUMPA_UNDER_PW_JACK") != "1":
        # The test client's JACK library must be PipeWire's from the start: run again under
        # pw-jack, in a session of our own.
        procs = start_session(work)
        try:
            env = dict(os.environ, THUMPA_UNDER_PW_JACK="1")
            return subprocess.run(["pw-jack", sys.executable] + sys.argv, env=env).returncode
        finally:
            for p in reversed(procs):
                p.terminate()
                p.wait(10)

    sys.path.insert(0, os.path.join(HERE, "..", "support"))
    import jack
    import jack_note_run as run

    client = None
    for _ in range(50):  # wireplumber needs a moment before the graph runs clients
        try:
            client = jack.Client("thumpa_tester", no_start_server=True)
            break
        except jack.JackError:
            time.sleep(0.1)
    if client is None:
        print("skipped: PipeWire's JACK server does not take clients here; see " + work)
        return SKIP
    force("clock.force-quantum", 512)
    force("clock.force-rate", 44100)
    # The graph takes the forced rate and quantum once a client runs in it.
    tester = run.Tester(client, "thumpa")
    tester.start(connect=False)
    run.wait_for("44100 Hz", lambda: (client.samplerate, client.blocksize) == (44100, 512))
    player = None
    try:
        player_log = open(os.path.join(work, "player.log"), "w")
        player = subprocess.Popen([player_path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=player_log, text=True)
        if not player.stdout.readline().startswith("ready"):
            print("FAIL: the player did not start; see " + player_log.name)
            return 1
        run.wait_for("the client's ports", lambda: len(client.get_ports("thumpa:")) == 3)
        rng = random.Random(20261208)
        tester.connect()
        a_first = tester.cycle + 2
        a_end = tester.plan_random(a_first, seconds / 2, rng) + tester.cycles_in(2.5)
        tester.wait_cycle(a_end)
        force("clock.force-rate", 48000)
        run.wait_for("48000 Hz", lambda: client.samplerate == 48000)
        time.sleep(1.2)  # two of the client's polls: it has made its voices again by then
        b_first = tester.cycle + 2
        b_end = tester.plan_random(b_first, seconds / 2, rng) + tester.cycles_in(2.5)
        tester.wait_cycle(b_end)
        tester.finish()
        ok = True
        for name, voices, first, end in (
                ("44100 Hz", run.raw_voices(build), a_first, a_end),
                ("48000 Hz", voice_values(player_path, 48000), b_first, b_end)):
            blocks = tester.recorded[first:end]
            begin, stop = blocks[0][0], blocks[-1][0] + len(blocks[-1][1]) // 4
            notes = [(f, n) for f, n in tester.sent if begin <= f < stop]
            lag = run.note_lag(voices, notes, blocks)
            print("%s: %d notes, lag %s frames, %d gaps" % (name, len(notes), lag,
                                                            run.gaps_in(blocks)))
            ok &= lag is not None and lag <= 512 and len(notes) >= 10
        player.communicate(timeout=10)
        with open(player_log.name) as log:
            print(log.read().strip())
        if not ok or player.returncode != 0:
            print("FAIL")
            return 1
        return 0
    finally:
        run.stop(player)
        force("clock.force-rate", 0)


if __name__ == "__main__":
    sys.exit(main())
