#!/usr/bin/python3
"""The JACK client under a test client on a private dummy JACK server (see
tests/support/jack_note_run.py), while the server changes under it, in three segments with no
restart of the client: every note on midi_in bit-exact at one lag per segment, no xrun.
1. 512-frame periods: random notes.
2. The server's period goes to 1024 frames mid-run (jack_bufsize): random notes, a note on
   frame 256 (the boundary of two of the client's mixing chunks), and a cycle of 200 snare
   notes and a kick, which must play.
3. The server is stopped (the client says so once) and started again: the client reconnects
   by itself and plays again within 3 s of the server's start.
Then the server is stopped for good, which the client says once more, and carries on until it is
closed.

usage: jack_e2e.py BUILD_DIR PLAYER SECONDS
"""
import os
import random
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import jack_note_run as run  # noqa: E402

RING_OUT = 2.5  # seconds after a segment's last note: longer than any voice
LOST = "The sound server (JACK) has stopped"


def note_on(offset, note):
    return (offset, bytes([0x99, note, 100]))


def segment(tester, first, end):
    """The notes sent and the blocks recorded in the tester's cycles [first, end)."""
    blocks = tester.recorded[first:end]
    begin, stop = blocks[0][0], blocks[-1][0] + len(blocks[-1][1]) // 4
    return [(f, n) for f, n in tester.sent if begin <= f < stop], blocks


def check_segment(name, voices, notes, blocks, period, xruns, most):
    """Prints the segment's lag; True when every note is bit-exact at one lag of at most one
    period, with no gap, no xrun and at least MOST notes."""
    lag = run.note_lag(voices, notes, blocks)
    gaps = run.gaps_in(blocks)
    print("%s: %d notes, %d-frame periods, lag %s frames, %d gaps, %d xruns"
          % (name, len(notes), period, lag, gaps, xruns))
    return lag is not None and lag <= period and not gaps and not xruns and len(notes) >= most


def main():
    build, player_path, seconds = os.path.abspath(sys.argv[1]), sys.argv[2], float(sys.argv[3])
    if subprocess.run(["which", "jackd"], capture_output=True).returncode != 0:
        print("jackd is not installed")
        return run.SKIP
    voices = run.raw_voices(build)
    work = os.path.join(build, "tests", "audio", "jack_e2e")  # the logs stay here
    os.makedirs(work, exist_ok=True)
    open(os.path.join(work, "jackd.log"), "w").close()
    each = seconds / 3
    rng = random.Random(20261207)
    jackd = player = None
    ok = True
    try:
        jackd, env, client = run.start_server(work, "thumpa_jack_e2e")
        player_log = open(os.path.join(work, "player.log"), "w")
        player = subprocess.Popen([player_path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=player_log, env=env, text=True)
        if not player.stdout.readline().startswith("ready"):  # empty when the player ended
            print("FAIL: the player did not start; see " + player_log.name)
            return 1
        if len(client.get_ports("thumpa:")) != 3:
            print("FAIL: the client's ports are %s" % client.get_ports("thumpa:"))
            return 1

        tester = run.Tester(client, "thumpa")
        a_end = tester.plan_random(tester.cycles_in(0.5), each, rng) + tester.cycles_in(RING_OUT)
        tester.start()
        tester.wait_cycle(a_end)
        subprocess.run(["jack_bufsize", "1024"], env=env, check=True, capture_output=True)
        run.wait_for("1024-frame periods", lambda: client.blocksize == 1024)
        b_first = tester.cycle + 2
        burst = [note_on(i, 38) for i in range(200)] + [note_on(200, 36)]
        tester.schedule[b_first + 4] = burst
        tester.schedule[b_first + 20] = [note_on(256, 75)]
        b_end = tester.plan_random(b_first + 40, each, rng) + tester.cycles_in(RING_OUT)
        tester.wait_cycle(b_end)
        a_xruns = tester.xruns
        tester.finish()
        ok &= check_segment("512 frames", voices, *segment(tester, 0, a_end), 512, a_xruns, 10)
        ok &= check_segment("1024 frames after jack_bufsize", voices,
                            *segment(tester, b_first, b_end), 1024, tester.xruns - a_xruns, 10)

        server = env["JACK_DEFAULT_SERVER"]
        jackd.terminate()
        jackd.wait(10)
        time.sleep(1.0)  # the client sees it within one of its polls
        jackd, env, client = run.start_server(work, "", server=server)
        up = time.monotonic()
        run.wait_for("the client back", lambda: len(client.get_ports("thumpa:")) == 3, 5)
        tester = run.Tester(client, "thumpa")
        c_end = tester.plan_random(1, each, rng) + tester.cycles_in(RING_OUT)
        tester.start()
        started = time.monotonic()
        tester.wait_cycle(c_end)
        tester.finish()
        notes, blocks = segment(tester, 0, c_end)
        ok &= check_segment("after the server's restart", voices, notes, blocks, 512,
                            tester.xruns, 10)
        lag = run.note_lag(voices, notes, blocks)
        first = (min(notes)[0] - blocks[0][0] + (lag or 0)) / run.RATE
        heard = started - up + first
        print("first note heard %.2f s after the restarted server answered" % heard)
        ok &= heard <= 3.0

        jackd.terminate()
        jackd.wait(10)
        time.sleep(1.0)
        player.communicate(timeout=10)  # closing its stdin ends it
        with open(player_log.name) as log:
            text = log.read()
        told, back = text.count(LOST), text.count("thumpa: sound output jack is back")
        closing = re.search(r"closed, latency \d+ frames, (\d+) underflows", text)
        print("the client said %d times that the server stopped, %d times that it is back; %s"
              % (told, back, closing.group(0) if closing else "no closing line"))
        if player.returncode != 0 or told != 2 or back != 1 or not closing:
            print("FAIL: see " + player_log.name)
            return 1
        ok &= closing.group(1) == "0"
        if not ok:
            print("FAIL")
        return 0 if ok else 1
    finally:
        run.stop(player)
        run.stop(jackd)


if __name__ == "__main__":
    sys.exit(main())
