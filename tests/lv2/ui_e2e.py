#!/usr/bin/python3
"""The plugin's own window under real hosts: jalv.gtk3 (and jalv.qt5 when its X11 wrapper can
load) on a private JACK dummy server and a private X server. Each host must embed the window
(its screenshot, read by OCR, names the eight voices); the window's Play button must reach the
plugin as a MIDI event through the host; the window process killed with SIGKILL, and keys and
clicks sent to the host's window afterwards, must leave the host running with the dead window
reaped; and after CYCLES starts and stops of jalv.gtk3 no window process may be left. Prints
how long the window took from the host's start, and from its own process start, to be mapped.

usage: ui_e2e.py BUILD_DIR CYCLES
"""
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import jack_note_run as run  # noqa: E402
from desktop import Desktop, Processes as Procs  # noqa: E402
from screen import read_text  # noqa: E402

SKIP = 77
VOICE_NAMES = ["Blipp", "Clave", "Closed Hi-hat", "Open Hi-hat", "Kick", "Snare", "Cowbell",
               "Oscillator"]
WINDOW_CLASS = "thumpa-lv2-window"
failures = []
passes = [0]


def check(condition, text):
    if condition:
        passes[0] += 1
    else:
        failures.append(text)
        print("FAIL: " + text, flush=True)


def window_processes():
    out = subprocess.run(["pgrep", "-f", "thumpa.lv2/" + WINDOW_CLASS], capture_output=True,
                         text=True)
    return [int(p) for p in out.stdout.split()]


def started_at(pid):
    """The process's start on CLOCK_BOOTTIME, in seconds (to the kernel's 10 ms tick)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[19]) / os.sysconf("SC_CLK_TCK")


def wait_for_window(desk, host, timeout=15):
    """The mapped window of the window process, or None; and the times it took."""
    start = time.monotonic()
    while time.monotonic() - start < timeout:
        if host.poll() is not None:
            return None, None, None
        out = subprocess.run(["xdotool", "search", "--onlyvisible", "--classname",
                              "^%s$" % WINDOW_CLASS], env=desk.environment(),
                             capture_output=True, text=True)
        if out.stdout.split():
            mapped_boot = time.clock_gettime(time.CLOCK_BOOTTIME)
            mapped = time.monotonic()
            pids = window_processes()
            own = mapped_boot - started_at(pids[0]) if pids else None
            return int(out.stdout.split()[0]), mapped - start, own
        time.sleep(0.01)
    return None, None, None


def stop_host(procs, host):
    procs.stop(host, timeout=5.0)


def run_host(desk, procs, env, work, host_name, offset_y):
    log = open(os.path.join(work, host_name + ".log"), "w")
    host = procs.start(host_name, [host_name, "-d", "urn:thumpa:lv2:drums"], stdout=log,
                       stderr=subprocess.STDOUT, env=env)
    wid, from_host, from_process = wait_for_window(desk, host)
    check(wid is not None, host_name + " shows no window (see %s)" % log.name)
    if wid is None:
        stop_host(procs, host)
        return
    print("%s: window mapped %.0f ms after the host started, %.0f ms after its process started"
          % (host_name, from_host * 1000, (from_process or 0) * 1000), flush=True)
    time.sleep(1.0)  # drawn
    shot = os.path.join(work, host_name + ".png")
    desk.screenshot(wid, shot)
    image = desk.window_image(wid)
    text = read_text(image) if image is not None else ""
    missing = [n for n in VOICE_NAMES if n.split()[0].lower() not in text.lower()]
    check(not missing, "%s: the window does not show %s (OCR read %r)" % (host_name, missing,
                                                                          text))
    # The Kick's Play button (fifth row), in window coordinates.
    desk.xdotool("mousemove", "--window", str(wid), "160", "161", "click", "1")
    time.sleep(0.5)

    pids = window_processes()
    for pid in pids:
        os.kill(pid, 9)
    time.sleep(0.3)
    top = subprocess.run(["xdotool", "search", "--onlyvisible", "--classname", host_name],
                         env=desk.environment(), capture_output=True, text=True).stdout.split()
    if top:
        desk.xdotool("mousemove", "--window", top[0], "300", str(offset_y + 150), "click", "1")
        desk.xdotool("key", "a", "5", "Tab")
    time.sleep(1.0)
    check(host.poll() is None, host_name + " ended when its window process was killed")
    check(not window_processes(), host_name + ": the killed window process was not reaped")
    stop_host(procs, host)
    # The host's dump (written out when it ends): a note-on of the Kick's note 35 at 127.
    # jalv.qt5 has no dump.
    check(host_name != "jalv.gtk3" or '"99237F"^^<http://lv2plug.in/ns/ext/midi#MidiEvent>' in open(log.name).read(),
          host_name + ": the Play button sent no note-on through the host")


def main():
    build, cycles = os.path.abspath(sys.argv[1]), int(sys.argv[2])
    for tool in ("jackd", "jalv.gtk3", "Xvfb", "xdotool", "tesseract", "import"):
        if subprocess.run(["which", tool], capture_output=True).returncode != 0:
            print(tool + " is not installed")
            return SKIP
    work = os.path.join(build, "tests", "lv2", "ui_e2e")
    os.makedirs(work, exist_ok=True)
    log_file = open(os.path.join(work, "test.log"), "w")
    procs = Procs(lambda text: log_file.write(text + "\n"))
    desk = Desktop(work, procs, lambda text: log_file.write(text + "\n"))
    jackd = None
    try:
        desk.start_x()
        jackd, env, _client = run.start_server(work, "thumpa_ui_e2e")
        env = desk.environment(LV2_PATH=os.path.join(build, "lib", "lv2"),
                               JACK_DEFAULT_SERVER=env["JACK_DEFAULT_SERVER"],
                               JACK_NO_AUDIO_RESERVATION="1")
        run_host(desk, procs, env, work, "jalv.gtk3", 25)
        qt5_wrapper = "/usr/lib/x86_64-linux-gnu/suil-0/libsuil_x11_in_qt5.so"
        if subprocess.run(["which", "jalv.qt5"], capture_output=True).returncode == 0 and \
                "not found" not in subprocess.run(["ldd", qt5_wrapper], capture_output=True,
                                                  text=True).stdout:
            run_host(desk, procs, env, work, "jalv.qt5", 22)
        else:
            print("jalv.qt5 or its X11 wrapper's libraries are missing: not tried")

        times = []
        for i in range(cycles):
            host = procs.start("jalv.gtk3", ["jalv.gtk3", "urn:thumpa:lv2:drums"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
            wid, _from_host, from_process = wait_for_window(desk, host)
            check(wid is not None, "cycle %d: no window" % i)
            if from_process is not None:
                times.append(from_process * 1000)
            stop_host(procs, host)
        time.sleep(0.5)
        left = window_processes()
        check(not left, "%d window processes left after %d cycles" % (len(left), cycles))
        if times:
            print("window mapped after its process started: min %.0f, median %.0f, max %.0f ms "
                  "over %d cycles" % (min(times), statistics.median(times), max(times),
                                      len(times)))
    finally:
        procs.stop_all()
        if jackd is not None:
            run.stop(jackd)
    print("%d passed, %d failed" % (passes[0], len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
