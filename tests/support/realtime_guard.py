#!/usr/bin/python3
"""Runs a timing test beside stall_watch, which notes every moment the machine held a
real-time thread back by more than STALL_MS. The test says why a try failed, one line per
failure:

    TIMING FAIL <start s> <end s>: text   a sound came late, or was cut or missing, over that
                                           span of CLOCK_MONOTONIC
    ... FAIL ...                           anything else: a wrong sample, a wrong voice, a
                                           crash, missing output

A try whose every failure is a TIMING FAIL over a span that a recorded stall overlaps is no
evidence about the program (a sound server's or the recorder's thread missed its period): it
is tried again, up to TRIES times in all, then skipped (exit 77) with a line that says so. Any
other failed try fails at once: one that fails with no failure line (a crash), one with any
other failure line, or one with a timing failure that no stall explains. A run that passes
passes, whatever the machine did.

usage: realtime_guard.py STALL_WATCH TRIES -- COMMAND [ARG...]
"""
import os
import re
import subprocess
import sys
import tempfile

STALL_MS = 4.0
SKIP = 77
TIMING = re.compile(r"TIMING FAIL (\d+(?:\.\d*)?) (\d+(?:\.\d*)?): (.*)")
OTHER = re.compile(r"\bFAIL\b")
STALL = re.compile(r"^stall_watch: stall (\d+(?:\.\d*)?) (\d+(?:\.\d*)?)$", re.M)


def run_watched(watch, command):
    """Runs COMMAND beside the watcher and passes its output on; its exit code, its output and
    the stalls as (start s, end s), or None when the watcher may not run at real-time priority.
    The output goes through a file, not a pipe, so that a server the test leaves behind cannot
    keep the run from ending."""
    watcher = subprocess.Popen([watch, str(STALL_MS)], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    with tempfile.TemporaryFile(mode="w+", errors="replace") as out:
        try:
            code = subprocess.run(command, stdout=out, stderr=subprocess.STDOUT).returncode
        finally:
            said = watcher.communicate(timeout=10)[0]
        out.seek(0)
        text = out.read()
    sys.stdout.write(text)
    if "no real-time priority" in said:
        return code, text, None
    stalls = [(float(s), float(s) + float(ms) / 1000) for s, ms in STALL.findall(said)]
    return code, text, stalls


def judge(text, stalls):
    """The failure lines of a try's output; and whether each is a timing failure over a span a
    stall overlaps, with the stall that explains it."""
    failures = []
    for line in text.splitlines():
        timing = TIMING.search(line)
        if timing:
            start, end = float(timing.group(1)), float(timing.group(2))
            hit = next((s for s in stalls or [] if s[0] <= end and start <= s[1]), None)
            failures.append((line.strip(), hit))
        elif OTHER.search(line):
            failures.append((line.strip(), None))
    return failures


def main():
    watch, tries, command = sys.argv[1], int(sys.argv[2]), sys.argv[sys.argv.index("--") + 1:]
    name = " ".join(os.path.basename(arg) for arg in command[1:])[:80]
    for attempt in range(1, tries + 1):
        code, text, stalls = run_watched(watch, command)
        if code in (0, SKIP):
            return code
        failures = judge(text, stalls)
        unexplained = [line for line, stall in failures if stall is None]
        if not failures or unexplained:
            why = (unexplained[0][:160] if unexplained else
                   "exit code %d with no failure line: a crash or missing output" % code)
            if stalls is None:
                why += "; no stall can be told (the watch has no real-time priority)"
            print("realtime_guard: %s: failed: %s (%d failure lines, %d unexplained by a "
                  "stall; %d stalls over %.0f ms recorded)"
                  % (name, why, len(failures), len(unexplained) or 1, len(stalls or []),
                     STALL_MS))
            return code if code > 0 else 1
        line, stall = failures[0]
        print("realtime_guard: %s: try %d of %d failed on timing alone (%s), every failure "
              "during a recorded stall (the first at %.3f s, %.1f ms): no evidence%s"
              % (name, attempt, tries, line[:160], stall[0], (stall[1] - stall[0]) * 1000,
                 ", tried again" if attempt < tries else ""))
    print("realtime_guard: %s: skipped: every try failed on timing alone, during stalls of the "
          "machine" % name)
    return SKIP


if __name__ == "__main__":
    sys.exit(main())
