#!/usr/bin/python3
"""The plugin under a real host: jalv runs it as a JACK client on a private dummy JACK server,
and a test client sends note-ons at random frame offsets and velocities and records out_left
and each voice's own output (see tests/support/jack_note_run.py). With every voice's
normalisation off, each voice must be thumpa-render's raw samples >> 16 at its note's velocity
on the one velocity curve, bit for bit, in the mix and alone, with the hi-hat choke on (the
plugin's default) cutting the open hi-hat where a closed one starts; every note must start the
same number of frames after it was sent; no xrun. The notes run in freewheel, after a lead-in
in real time in which the plugin's worker makes the voices.

usage: jalv_e2e.py BUILD_DIR SECONDS
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import jack_note_run as run  # noqa: E402


def main():
    build, seconds = os.path.abspath(sys.argv[1]), float(sys.argv[2])
    for tool in ("jackd", "jalv"):
        if subprocess.run(["which", tool], capture_output=True).returncode != 0:
            print(tool + " is not installed")
            return run.SKIP
    voices = run.raw_voices(build)

    work = os.path.join(build, "tests", "lv2", "jalv_e2e")  # the servers' logs stay here
    os.makedirs(work, exist_ok=True)
    os.environ["LV2_PATH"] = os.path.join(build, "lib", "lv2")
    jackd = jalv = None
    try:
        jackd, env, client = run.start_server(work, "thumpa_lv2_e2e")

        # Every voice's normalisation off: what plays is then the raw render >> 16.
        controls = []
        for v in run.VOICES:
            controls += ["-c", v + "_normalize_before=0"]
        jalv_log = open(os.path.join(work, "jalv.log"), "w")
        jalv = subprocess.Popen(["jalv", "-x", "-n", "thumpa_lv2"] + controls +
                                ["urn:thumpa:lv2:drums"], stdin=subprocess.PIPE,
                                stdout=jalv_log, stderr=subprocess.STDOUT, env=env)

        def jalv_ready():
            if jalv.poll() is not None:
                raise RuntimeError("jalv ended; see " + jalv_log.name)
            return len(client.get_ports("thumpa_lv2:")) >= 11

        run.wait_for("jalv's ports", jalv_ready)
        # The worker has made the voices 1.5 s in.
        tester = run.play_and_record(client, "thumpa_lv2", seconds, 1.5, choke=True)
        return run.check(voices, tester, seconds)
    finally:
        run.stop(jalv)
        run.stop(jackd)


if __name__ == "__main__":
    sys.exit(main())
