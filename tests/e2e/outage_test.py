#!/usr/bin/python3
"""The desktop program while its sound server is away, stopped or half up: its window must keep
answering. Runs the real `thumpa` on a private X server and sound server, then takes the server
away in three ways: killed; back but held with SIGSTOP; and (PipeWire) back without its session
manager. Throughout, a _NET_WM_PING goes to the window every 10 ms; Qt answers it from the main
thread, so the longest wait for an answer is the main thread's longest stall. No box may wait for
the user, and the program says on stderr when the output is lost and when it is back.

usage: outage_test.py --server pulse|pipewire --build DIR --out DIR
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import threading
import time

from Xlib import X, protocol

from desktop import Desktop, Processes, now_ns, poll

STALL_LIMIT_MS = 50
AWAY_S = 3.0


class Pinger:
    """Pings the window from a connection of its own; keeps each ping's send and answer times."""

    def __init__(self, display_name, wid):
        from Xlib import display as xdisplay
        self.x = xdisplay.Display(display_name)
        self.root = self.x.screen().root
        # Qt sends its answer to the root window for the window manager, which this desktop
        # has not: this connection takes its place.
        self.root.change_attributes(event_mask=X.SubstructureNotifyMask |
                                    X.SubstructureRedirectMask)
        self.window = self.x.create_resource_object("window", wid)
        self.protocols = self.x.intern_atom("WM_PROTOCOLS")
        self.ping = self.x.intern_atom("_NET_WM_PING")
        self.sent = {}  # stamp -> monotonic ns
        self.waits = []  # (sent ns, wait ms)
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        stamp, next_ns = 1, now_ns()
        while self.running:
            if now_ns() >= next_ns:
                event = protocol.event.ClientMessage(
                    window=self.window.id, client_type=self.protocols,
                    data=(32, [self.ping, stamp, self.window.id, 0, 0]))
                self.sent[stamp] = now_ns()
                self.window.send_event(event, event_mask=0)
                self.x.flush()
                stamp += 1
                next_ns += 10_000_000
            while self.running and self.x.pending_events():
                e = self.x.next_event()
                if e.type == X.ClientMessage and e.client_type == self.protocols:
                    got = e.data[1][1]
                    if got in self.sent:
                        t = self.sent.pop(got)
                        self.waits.append((t, (now_ns() - t) / 1e6))
            time.sleep(0.001)

    def longest(self, since_ns, until_ns):
        """The longest wait of a ping sent in [since, until), unanswered ones counted up to now."""
        waits = [w for t, w in self.waits if since_ns <= t < until_ns]
        waits += [(now_ns() - t) / 1e6 for t in self.sent.values() if since_ns <= t < until_ns]
        return max(waits, default=0.0)


def signal_all(procs, sig):
    for proc in procs:
        os.kill(proc.pid, sig)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", choices=("pulse", "pipewire"), required=True)
    ap.add_argument("--build", required=True)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    shutil.rmtree(args.out, ignore_errors=True)
    os.makedirs(args.out)
    log_file = open(os.path.join(args.out, "outage.log"), "w")

    def log(text):
        print(text, file=log_file, flush=True)

    procs = Processes(log)
    desktop = Desktop(args.out, procs, log)
    failures = []
    pinger, phases = None, []  # phases: (name, start ns, end ns)

    def report_stalls():
        if pinger is None:
            return
        pinger.running = False
        pinger.thread.join()
        for name, since, until in phases:
            longest = pinger.longest(since, until)
            line = f"{args.server}: {name}: main thread's longest stall {longest:.1f} ms"
            print(line)
            log(line)
            if longest > STALL_LIMIT_MS:
                failures.append(f"TIMING FAIL {since / 1e9:.3f} {until / 1e9:.3f}: {line}, "
                                f"more than {STALL_LIMIT_MS} ms")

    try:
        desktop.start_x()
        desktop.start_sound_server(args.server)
        thumpa_log = os.path.join(args.out, "thumpa.log")
        app = procs.start("thumpa", [os.path.join(args.build, "app", "thumpa")],
                          env=desktop.environment(), cwd=args.out,
                          stdout=open(thumpa_log, "wb"), stderr=subprocess.STDOUT)
        wid = poll(lambda: desktop.windows_named("Thumpa"), 30, 0.05, "the window")[0][0]
        stderr = lambda: open(thumpa_log, errors="replace").read()  # noqa: E731
        poll(lambda: "thumpa: sound output" in stderr(), 20, 0.05, "the sound output's line")
        pinger = Pinger(desktop.display_name, wid)
        pinger.thread.start()
        time.sleep(0.5)

        def phase(name, action, seconds):
            start = now_ns()
            action()
            time.sleep(seconds)
            phases.append((name, start, now_ns()))

        phase("server killed", desktop.stop_sound_server, AWAY_S)
        if "lost: its server went away" not in stderr():
            failures.append("FAIL: thumpa did not say on stderr that its sound output was lost")

        def back_but_stopped():
            desktop.start_sound_server(args.server)
            signal_all(desktop.servers, signal.SIGSTOP)

        phase("server back but stopped (SIGSTOP)", back_but_stopped, AWAY_S)
        signal_all(desktop.servers, signal.SIGCONT)
        poll(lambda: stderr().count("is back,") >= 1, 20, 0.05, "the output to be back")
        if args.server == "pipewire":
            def without_session_manager():
                desktop.stop_sound_server()
                desktop._server("pipewire", ["pipewire"])  # no WirePlumber, no pipewire-pulse
            phase("PipeWire without its session manager", without_session_manager, AWAY_S)
            for proc in reversed(desktop.servers):
                procs.stop(proc)
            desktop.servers = []
            start = now_ns()
            desktop.start_sound_server(args.server)
            poll(lambda: stderr().count("is back,") >= 2, 20, 0.05, "the output to be back")
            phases.append(("until the output is back", start, now_ns()))

        dialogs = [w for w in desktop.top_windows() if w[2] is not None]
        if dialogs:
            failures.append(f"FAIL: a box waits for the user during an outage: {dialogs}")
        code = procs.stop(app)
        if code != 0:
            failures.append(f"FAIL: thumpa ended with code {code} on SIGTERM")
    except Exception as e:  # noqa: BLE001 - any error of the run is a failure of the test
        failures.append(f"FAIL: {type(e).__name__}: {e}")
    finally:
        report_stalls()
        procs.stop_all()
    for f in failures:
        print(f)
    print(f"{'0' if failures else '1'} passed, {len(failures) and 1} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
