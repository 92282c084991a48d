#!/usr/bin/python3
"""realtime_guard.py against a stand-in for stall_watch that reports one stall from 100.0 s to
100.05 s, and stand-in tests that print failure lines and exit as a real one would: only a try
whose every failure is a timing failure over that stall is tried again and skipped."""
import os
import stat
import subprocess
import sys
import tempfile

GUARD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "realtime_guard.py")
WATCH = """#!/usr/bin/python3
import sys
sys.stdin.read()
print("stall_watch: stall 100.000000 50.000")
print("stall_watch: largest lateness 50000 us")
"""

# (what the try prints, its exit code, the guard's exit code)
CASES = [
    ("TIMING FAIL 100.02 100.03: a hit missing", 1, 77),
    ("[ 1.0] TIMING FAIL 99.9 100.01: a hit missing\nTIMING FAIL 100.04 101: late", 1, 77),
    ("TIMING FAIL 101.0 102.0: a hit missing, no stall then", 1, 1),
    ("TIMING FAIL 100.02 100.03: a hit missing\nFAIL 512 frames: no single lag", 1, 1),
    ("[ 2.0] FAIL a key plays the wrong voice", 1, 1),
    ("Traceback (most recent call last):\nRuntimeError: timed out", 1, 1),
    ("", -11, 1),
    ("PASS everything", 0, 0),
    ("skipped: jackd not installed", 77, 77),
]


def main():
    failed = 0
    with tempfile.TemporaryDirectory() as work:
        watch = os.path.join(work, "stall_watch")
        with open(watch, "w") as f:
            f.write(WATCH)
        os.chmod(watch, stat.S_IRWXU)
        for printed, code, expected in CASES:
            script = "import os, sys\nprint('=try=')\nprint(%r, flush=True)\n%s" % (
                printed, "os.kill(os.getpid(), 11)" if code < 0 else "sys.exit(%d)" % code)
            got = subprocess.run([sys.executable, GUARD, watch, "2", "--", sys.executable, "-c",
                                  script], capture_output=True, text=True)
            tries = got.stdout.splitlines().count("=try=")
            ok = got.returncode == expected and tries == (2 if expected == 77 and code == 1 else 1)
            print("%s: %r exiting %d: guard exit %d after %d tries (expected %d)"
                  % ("ok" if ok else "WRONG", printed, code, got.returncode, tries, expected))
            failed += not ok
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
