#!/usr/bin/python3
"""Runs a timing test beside stall_watch. A run that fails while the machine held a real-time
thread back by more than STALL_MS is no evidence about the program: the sound server's or the
test recorder's thread missed its period. Such a run is tried again, up to TRIES times in all;
when every try was held back the test is skipped (exit 77) and says so. A run that fails with no
such stall fails, and a run that passes passes, whatever the machine did.

usage: realtime_guard.py STALL_WATCH TRIES -- COMMAND [ARG...]
"""
import re
import subprocess
import sys

STALL_MS = 4.0
SKIP = 77


def run_watched(watch, command):
    """Runs COMMAND beside the watcher; its exit code and the largest stall in ms (None when
    the watcher may not run at real-time priority)."""
    watcher = subprocess.Popen([watch], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        code = subprocess.run(command).returncode
    finally:
        said = watcher.communicate(timeout=10)[0]
    found = re.search(r"largest lateness (\d+) us", said)
    return code, int(found.group(1)) / 1000 if found else None


def main():
    watch, tries, command = sys.argv[1], int(sys.argv[2]), sys.argv[sys.argv.index("--") + 1:]
    for attempt in range(1, tries + 1):
        code, stall = run_watched(watch, command)
        sys.stdout.flush()
        if code in (0, SKIP) or stall is None or stall <= STALL_MS:
            if code not in (0, SKIP) and stall is not None:
                print("realtime_guard: the run failed with real-time threads held back at most "
                      "%.1f ms: a fault of the program or the test" % stall)
            return code
        print("realtime_guard: try %d of %d failed while the machine held a real-time thread "
              "back %.1f ms (more than %.0f ms): no evidence, tried again"
              % (attempt, tries, stall, STALL_MS) if attempt < tries else
              "realtime_guard: try %d of %d failed while the machine held a real-time thread "
              "back %.1f ms (more than %.0f ms)" % (attempt, tries, stall, STALL_MS))
    print("realtime_guard: skipped: every try ran on a machine that held real-time threads back")
    return SKIP


if __name__ == "__main__":
    sys.exit(main())
