#!/usr/bin/python3
"""Runs a timing test beside stall_watch. A run that fails while the machine held a real-time
thread back by more than STALL_MS is no evidence about the program: the sound server's or the
test recorder's thread missed its period. Such a run is tried again, up to TRIES times in all;
when every try was held back the test is skipped (exit 77) and says so. A run that fails with no
such stall fails, and a run that passes passes, whatever the machine did.

usage: realtime_guard.py STALL_WATCH TRIES -- COMMAND [ARG...]
"""
import os
import re
import subprocess
import sys
import tempfile

STALL_MS = 4.0
SKIP = 77


def run_watched(watch, command):
    """Runs COMMAND beside the watcher and passes its output on; its exit code, the largest
    stall in ms (None when the watcher may not run at real-time priority) and the first line of
    its output that says FAIL. The output goes through a file, not a pipe, so that a server the
    test leaves behind cannot keep the run from ending."""
    watcher = subprocess.Popen([watch], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    with tempfile.TemporaryFile(mode="w+", errors="replace") as out:
        try:
            code = subprocess.run(command, stdout=out, stderr=subprocess.STDOUT).returncode
        finally:
            said = watcher.communicate(timeout=10)[0]
        out.seek(0)
        text = out.read()
    sys.stdout.write(text)
    found = re.search(r"largest lateness (\d+) us", said)
    failed = next((line.strip() for line in text.splitlines() if "FAIL" in line), "")
    return code, int(found.group(1)) / 1000 if found else None, failed


def main():
    watch, tries, command = sys.argv[1], int(sys.argv[2]), sys.argv[sys.argv.index("--") + 1:]
    name = " ".join(os.path.basename(arg) for arg in command[1:])[:80]
    for attempt in range(1, tries + 1):
        code, stall, failed = run_watched(watch, command)
        if code in (0, SKIP) or stall is None or stall <= STALL_MS:
            if code not in (0, SKIP) and stall is not None:
                print("realtime_guard: %s: failed with real-time threads held back at most "
                      "%.1f ms: a fault of the program or the test" % (name, stall))
            return code
        print("realtime_guard: %s: try %d of %d failed (%s) while the machine held a real-time "
              "thread back %.1f ms, more than %.0f ms: no evidence%s"
              % (name, attempt, tries, failed[:100] or "exit code %d" % code, stall, STALL_MS,
                 ", tried again" if attempt < tries else ""))
    print("realtime_guard: %s: skipped: every try ran on a machine that held real-time threads "
          "back" % name)
    return SKIP


if __name__ == "__main__":
    sys.exit(main())
