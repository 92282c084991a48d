#!/usr/bin/python3
"""The JACK client under a test client (see tests/support/jack_note_run.py) while its server
changes under it, with no restart of the client: in each segment every note on midi_in is its
voice at its velocity bit for bit, in the mix and on the voice's own port, at one lag of at
most a period, with no gap and no xrun.

The segments of notes run in freewheel (the server runs cycles back to back and waits for
every client, so a stalled machine cannot break them); the changes between them (a period
change, a rate change, a restart) run in real time, and what they must show is that sound
comes back, bit for bit. PipeWire's JACK server (0.3.65) runs freewheel on its
Freewheel-Driver once the clients are linked (a client alone got no cycle there), at the
forced rate; its frame time does not advance steadily there, so the tester counts frames. It
moves the clients there one at a time, so a segment's notes start once the instrument is heard
in step with the tester.

jackd (a private dummy server):
1. 512-frame periods: random notes, the hi-hat choke off.
2. The choke turned on, and the period goes to 1024 frames (jack_bufsize): random notes, a
   note on frame 256 (the boundary of two of the client's mixing chunks), and a cycle of 200
   snare notes and a kick.
3. The server is stopped (the client says so) and started again: the client reconnects by
   itself and plays again within 3 s of the server's start.
Then the server is stopped for good, which the client says once more; it carries on until it
is closed.

pipewire (PipeWire's JACK server in a private session; skipped when it cannot run here):
1. The graph forced to 44100 Hz: random notes.
2. The graph forced to 48000 Hz: random notes, each the voice as the program resamples it for
   48000 Hz.

usage: jack_e2e.py BUILD_DIR PLAYER SECONDS jackd|pipewire
"""
import os
import random
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))

RING_OUT = 2.5  # seconds after a segment's last note: longer than any voice
PORTS = 11  # the mix on two ports, eight voices alone, midi_in
LOST = "thumpa: sound output jack lost: its server went away"


def start_pipewire(work):
    """dbus-daemon, pipewire and wireplumber on a runtime folder of their own; their processes."""
    run_dir, bus = os.path.join(work, "run"), "unix:path=" + os.path.join(work, "run", "bus")
    os.makedirs(run_dir, mode=0o700)
    os.environ.update(HOME=work, XDG_RUNTIME_DIR=run_dir, DBUS_SESSION_BUS_ADDRESS=bus)
    os.environ.pop("PIPEWIRE_REMOTE", None)
    procs = []
    for args in (["dbus-daemon", "--session", "--nofork", "--address=" + bus], ["pipewire"],
                 ["wireplumber"]):
        log = open(os.path.join(work, args[0] + ".log"), "w")
        procs.append(subprocess.Popen(args, stdout=log, stderr=subprocess.STDOUT))
        time.sleep(0.5)
    return procs


def force(key, value):
    subprocess.run(["pw-metadata", "-n", "settings", "0", key, str(value)], check=True,
                   capture_output=True)


def voice_values(player, rate):
    import numpy as np
    out = subprocess.run([player, "--values-at", str(rate)], check=True, capture_output=True,
                         text=True).stdout
    return {line.split()[0]: np.array([int(v) for v in line.split()[1:]], dtype=np.int64)
            for line in out.splitlines()}


def start_player(player_path, work):
    log = open(os.path.join(work, "player.log"), "w")
    player = subprocess.Popen([player_path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=log, text=True)
    if not player.stdout.readline().startswith("ready"):  # empty when the player ended
        print("FAIL: the player did not start; see " + log.name)
        return None, log.name
    return player, log.name


def note_on(offset, note):
    return (offset, bytes([0x99, note, 100]))


def notes_in_step(tester, voices, rng, each):
    """A segment of random notes for EACH seconds in freewheel on PipeWire's JACK server, then
    real time again. The server moves its clients to its freewheel driver one at a time: for
    a while the instrument misses the tester's cycles or runs a cycle behind (measured: 3 to 9
    of a segment's first notes lost or a cycle late, in half the runs). So the notes start
    once claves are heard in step. Returns the segment's first cycle and the cycle after its
    end, or None."""
    tester.freewheel(True)
    settled = tester.settle(voices)
    if settled is None:
        tester.freewheel(False)
        return None
    plan = {}
    end = tester.plan_random(0, each, rng, plan) + tester.cycles_in(RING_OUT)
    tester.record_from, tester.record_until = settled + 2, float("inf")
    first = tester.start_later(plan, settled + 2)
    tester.record_until = first + end
    tester.wait_cycle(first + end)
    tester.freewheel(False)
    tester.record_from = tester.record_until = 0  # nothing until the next segment
    return first, first + end


def run_jackd(run, build, player_path, work, each):
    voices, rng, ok = run.raw_voices(build), random.Random(20261207), True
    open(os.path.join(work, "jackd.log"), "w").close()
    jackd = player = None
    try:
        jackd, env, client = run.start_server(work, "thumpa_jack_e2e")
        player, log = start_player(player_path, work)
        if player is None:
            return 1
        if len(client.get_ports("thumpa:")) != PORTS:
            print("FAIL: the client's ports are %s" % client.get_ports("thumpa:"))
            return 1
        tester = run.Tester(client, "thumpa")
        a_first = tester.cycles_in(1.0)
        a_end = tester.plan_random(a_first, each, rng) + tester.cycles_in(RING_OUT)
        tester.start()
        ok &= tester.play_in_freewheel(a_first, a_end)
        player.stdin.write("choke on\n")
        player.stdin.flush()
        subprocess.run(["jack_bufsize", "1024"], env=env, check=True, capture_output=True)
        run.wait_for("1024-frame periods", lambda: client.blocksize == 1024)
        b_first = tester.cycle + tester.cycles_in(1.0)
        tester.schedule[b_first + 4] = [note_on(i, 38) for i in range(200)] + [note_on(200, 36)]
        tester.schedule[b_first + 20] = [note_on(256, 75)]
        b_end = tester.plan_random(b_first + 40, each, rng) + tester.cycles_in(RING_OUT)
        ok &= tester.play_in_freewheel(b_first, b_end)
        tester.finish()
        ok &= tester.check("512 frames", voices, a_first, a_end, 512) is not None
        tester.choke = True
        ok &= tester.check("1024 frames", voices, b_first, b_end, 1024) is not None

        server = env["JACK_DEFAULT_SERVER"]
        jackd.terminate()
        jackd.wait(10)
        time.sleep(1.0)  # the client sees it within one of its polls
        jackd, env, client = run.start_server(work, "", server=server)
        up = time.monotonic()
        run.wait_for("the client back", lambda: len(client.get_ports("thumpa:")) == PORTS, 5)
        tester = run.Tester(client, "thumpa", choke=True)
        c_first = tester.cycles_in(0.5)
        c_end = tester.plan_random(c_first, each, rng) + tester.cycles_in(RING_OUT)
        tester.start()
        started = time.monotonic()
        ok &= tester.play_in_freewheel(c_first, c_end)
        tester.finish()
        lag = tester.check("after a restart", voices, c_first, c_end, 512)
        # As the first note would sound in real time: freewheel only runs the frames faster.
        first_note = (min(tester.sent)[0] - tester.recorded[0][0] + (lag or 0)) / run.RATE
        heard = started - up + first_note
        print("first note heard %.2f s after the restarted server answered" % heard)
        if heard > 3.0:
            print("TIMING FAIL %.6f %.6f: the first note after a restart came %.2f s after the "
                  "server answered, more than 3 s" % (up, up + heard, heard))
            ok = False

        jackd.terminate()
        jackd.wait(10)
        time.sleep(1.0)
        player.communicate(timeout=10)  # closing its stdin ends it
        text = open(log).read()
        told, back = text.count(LOST), text.count("thumpa: sound output jack is back")
        closing = re.search(r"closed, latency \d+ frames, (\d+) underflows", text)
        print("the client said %d times that the server stopped, %d times that it is back; %s"
              % (told, back, closing.group(0) if closing else "no closing line"))
        # Its underflows are not checked: a period change and a server going away make the
        # server report xruns of their own; one in a segment shows there as a gap.
        if player.returncode != 0 or told != 2 or back != 1 or closing is None:
            print("FAIL: the client ended with code %s, said %d times that the server stopped "
                  "(2 expected), %d times that it is back (1 expected)%s"
                  % (player.returncode, told, back, "" if closing else ", no closing line"))
            ok = False
        return 0 if ok else 1
    finally:
        run.stop(player)
        run.stop(jackd)


def run_pipewire(run, build, player_path, work, each):
    import jack
    client = None
    for _ in range(50):  # wireplumber needs a moment before the graph takes clients
        try:
            client = jack.Client("thumpa_tester", no_start_server=True)
            break
        except jack.JackError:
            time.sleep(0.1)
    if client is None:
        print("FAIL: PipeWire's JACK server takes no clients; see " + work)
        return 1
    force("clock.force-quantum", 512)
    force("clock.force-rate", 44100)
    # The graph takes the forced rate and quantum once a client runs in it.
    tester = run.Tester(client, "thumpa", count_frames=True, seconds=25)
    tester.record_until = 0  # only the segments are recorded
    tester.start(connect=False)
    run.wait_for("44100 Hz", lambda: (client.samplerate, client.blocksize) == (44100, 512))
    player = None
    try:
        player, log = start_player(player_path, work)
        if player is None:
            return 1
        run.wait_for("the client's ports", lambda: len(client.get_ports("thumpa:")) == PORTS)
        rng = random.Random(20261208)
        tester.connect()
        # The graph takes new links a few cycles later, and skips a cycle or so doing it.
        run.wait_for("the links", lambda: all(client.get_all_connections(p) for p in
                                              [tester.audio_in] + tester.voice_in))
        time.sleep(0.5)
        at_44100, at_48000 = run.raw_voices(build), voice_values(player_path, 48000)
        a = notes_in_step(tester, at_44100, rng, each)
        force("clock.force-rate", 48000)
        run.wait_for("48000 Hz", lambda: client.samplerate == 48000)
        time.sleep(1.2)  # two of the client's polls: it has made its voices again by then
        b = notes_in_step(tester, at_48000, rng, each)
        tester.finish()
        ok = a is not None and tester.check("44100 Hz", at_44100, *a, 512) is not None
        ok &= b is not None and tester.check("48000 Hz", at_48000, *b, 512) is not None
        player.communicate(timeout=10)
        print(open(log).read().strip())
        if player.returncode != 0:
            print("FAIL: the client ended with code %d" % player.returncode)
            ok = False
        return 0 if ok else 1
    finally:
        run.stop(player)
        force("clock.force-rate", 0)


def main():
    build, player_path, seconds, server = os.path.abspath(sys.argv[1]), sys.argv[2], \
        float(sys.argv[3]), sys.argv[4]
    needed = ["jackd", "jack_bufsize"] if server == "jackd" else \
        ["pw-jack", "pipewire", "wireplumber", "dbus-daemon", "pw-metadata"]
    missing = [p for p in needed if shutil.which(p) is None]
    if missing:
        print("skipped: %s not installed" % ", ".join(missing))
        return 77
    work = os.path.join(build, "tests", "audio", "jack_e2e_" + server)  # the logs stay here
    if server == "pipewire" and os.environ.get("THUMPA_UNDER_PW_JACK") != "1":
        # The test client's JACK library must be PipeWire's from the start: run again under
        # pw-jack, in a session of our own.
        shutil.rmtree(work, ignore_errors=True)
        procs = start_pipewire(work)
        try:
            env = dict(os.environ, THUMPA_UNDER_PW_JACK="1")
            return subprocess.run(["pw-jack", sys.executable] + sys.argv, env=env).returncode
        finally:
            for p in reversed(procs):
                p.terminate()
                p.wait(10)
    os.makedirs(work, exist_ok=True)
    import jack_note_run as run
    return (run_jackd if server == "jackd" else run_pipewire)(run, build, player_path, work,
                                                               seconds / 3)


if __name__ == "__main__":
    sys.exit(main())
