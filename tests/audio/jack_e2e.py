#!/usr/bin/python3
"""The JACK client under a test client on a private dummy JACK server (see
tests/support/jack_note_run.py): every note on midi_in bit-exact at one lag, no xrun. Then the
server is stopped under the client, which must say so once and carry on until it is closed.

usage: jack_e2e.py BUILD_DIR PLAYER SECONDS
"""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import jack_note_run as run  # noqa: E402


def main():
    build, player_path, seconds = os.path.abspath(sys.argv[1]), sys.argv[2], float(sys.argv[3])
    if subprocess.run(["which", "jackd"], capture_output=True).returncode != 0:
        print("jackd is not installed")
        return run.SKIP
    voices = run.raw_voices(build)
    work = os.path.join(build, "tests", "audio", "jack_e2e")  # the logs stay here
    os.makedirs(work, exist_ok=True)
    jackd = player = None
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
        sent, recorded, tester_xruns = run.play_and_record(client, "thumpa", seconds, 0.5)

        jackd.terminate()
        jackd.wait(10)
        time.sleep(0.5)
        out, _ = player.communicate(timeout=10)  # closing its stdin ends it
        thumpa_xruns = int(out.split("xruns:")[1].split()[0]) if "xruns:" in out else -1
        with open(player_log.name) as log:
            told = log.read().count("The sound server (JACK) has stopped")
        if player.returncode != 0 or told != 1:
            print("FAIL: with the server gone the player ended with %d and said so %d times"
                  % (player.returncode, told))
            return 1
        return run.check(voices, sent, recorded, seconds,
                         {"tester": tester_xruns, "thumpa": thumpa_xruns})
    finally:
        run.stop(player)
        run.stop(jackd)


if __name__ == "__main__":
    sys.exit(main())
