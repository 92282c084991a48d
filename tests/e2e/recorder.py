"""Writes the raw stream from standard input to a file and, for every chunk read, the
monotonic time it arrived and the byte count so far (to FILE.times), so that recorded frames
can be placed on the same clock as the key presses.

Usage: recorder.py FILE   (stops at end of input or on SIGTERM)
"""

import os
import signal
import sys
import time


def main():
    path = sys.argv[1]
    stop = False

    def on_term(*_):
        nonlocal stop
        stop = True

    signal.signal(signal.SIGTERM, on_term)
    total = 0
    with open(path, "wb", buffering=0) as audio, open(path + ".times", "w") as times:
        while not stop:
            try:
                chunk = os.read(0, 65536)
            except InterruptedError:
                continue
            t = time.monotonic_ns()
            if not chunk:
                break
            audio.write(chunk)
            total += len(chunk)
            times.write(f"{t} {total}\n")
            times.flush()


if __name__ == "__main__":
    main()
