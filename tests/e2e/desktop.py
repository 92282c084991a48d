"""A private desktop for the end-to-end test: an X server, a sound server (PulseAudio, or a
PipeWire session with its PulseAudio protocol) whose default output is a null sink, a recorder
on that sink's monitor, and the processes under test.

Every process is started here and stopped here by its PID, in reverse order of starting,
also when the test fails. Each child also gets SIGTERM from the kernel if this process dies
first, so nothing outlives a killed test run.
"""

import ctypes
import os
import re
import signal
import subprocess
import time

from Xlib import X, XK, Xatom, display as xdisplay
from Xlib.error import BadWindow, XError
from Xlib.ext import xtest

PR_SET_PDEATHSIG = 1
SAMPLE_RATE = 44100
SERVERS = ("pulse", "pipewire")
_libc = ctypes.CDLL(None, use_errno=True)


def _die_with_parent():
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)


def now_ns():
    return time.monotonic_ns()


def poll(condition, timeout, interval=0.02, what="condition"):
    """Calls condition() until it returns something: not None, False or an empty list (an
    image array counts as something). Returns that, or raises after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result is not None and result is not False and not (
                isinstance(result, (list, tuple)) and len(result) == 0):
            return result
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)


class Processes:
    """The processes this test started, stopped by PID."""

    def __init__(self, log):
        self.log = log
        self.running = []  # (name, Popen)

    def start(self, name, argv, **kwargs):
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        proc = subprocess.Popen(argv, preexec_fn=_die_with_parent, **kwargs)
        self.running.append((name, proc))
        self.log(f"started {name} (pid {proc.pid}): {' '.join(argv)}")
        return proc

    def stop(self, proc, sig=signal.SIGTERM, timeout=5.0):
        """Stops one process by its PID: sig first, SIGKILL after timeout. Returns its exit
        code."""
        name = next((n for n, p in self.running if p is proc), "?")
        if proc.poll() is None:
            try:
                os.kill(proc.pid, sig)
            except ProcessLookupError:
                pass
            try:
                proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.log(f"{name} (pid {proc.pid}) ignored signal {sig}; killing it")
                os.kill(proc.pid, signal.SIGKILL)
                proc.wait()
        self.running = [(n, p) for n, p in self.running if p is not proc]
        self.log(f"stopped {name} (pid {proc.pid}), exit code {proc.returncode}")
        return proc.returncode

    def stop_all(self):
        for _, proc in reversed(list(self.running)):
            self.stop(proc, timeout=3.0)


class Desktop:
    """Xvfb, a sound server with a null sink, and the environment for programs run on them."""

    def __init__(self, work, procs, log):
        self.work = work
        self.procs = procs
        self.log = log
        self.xvfb = None
        self.server = None
        self.servers = []
        self.display_name = None
        self.env = None
        self.x = None

    # --- X server -------------------------------------------------------------------------

    def start_x(self):
        read_fd, write_fd = os.pipe()
        self.xvfb = self.procs.start(
            "Xvfb",
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1280x800x24",
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_fd,),
            stdout=open(os.path.join(self.work, "xvfb.log"), "wb"),
            stderr=subprocess.STDOUT,
        )
        os.close(write_fd)
        number = b""
        deadline = time.monotonic() + 30
        while not number.endswith(b"\n"):
            if time.monotonic() > deadline or self.xvfb.poll() is not None:
                raise RuntimeError("Xvfb did not start (see xvfb.log)")
            chunk = os.read(read_fd, 16)
            if not chunk:
                raise RuntimeError("Xvfb did not report its display (see xvfb.log)")
            number += chunk
        os.close(read_fd)
        self.display_name = ":" + number.decode().strip()
        self.x = poll(lambda: self._try_connect(), 30, 0.1, "the X server to accept clients")
        self.log(f"X server {self.display_name} is up")

    def _try_connect(self):
        try:
            return xdisplay.Display(self.display_name)
        except Exception:  # noqa: BLE001 - any failure means "not yet"
            return None

    # --- sound server ---------------------------------------------------------------------

    def start_sound_server(self, server="pulse"):
        """Starts `server` ("pulse" or "pipewire") privately, with a 44100 Hz null sink 'ci'
        as the default output. Both answer the PulseAudio protocol on the same socket, so
        pactl and the recorder work the same on either."""
        if server not in SERVERS:
            raise ValueError(f"unknown sound server {server!r}")
        self.server = server
        run = os.path.join(self.work, "run")
        home = os.path.join(self.work, "home")
        for d in (run, home):
            os.makedirs(d, exist_ok=True)
            os.chmod(d, 0o700)
        client_conf = os.path.join(self.work, "pulse-client.conf")
        with open(client_conf, "w") as f:
            f.write("autospawn = no\n")  # a missing server must stay missing
        self.socket = os.path.join(run, "pulse", "native")
        self.pulse_env = {
            "HOME": home,
            "XDG_RUNTIME_DIR": run,
            "PULSE_SERVER": "unix:" + self.socket,
            "PULSE_CLIENTCONFIG": client_conf,
        }
        self.servers = []  # in order of starting
        if server == "pulse":
            self._start_pulseaudio()
        else:
            self._start_pipewire(run)
        subprocess.run(["pactl", "set-default-sink", "ci"], env=self.environment(), check=True,
                       stdout=subprocess.DEVNULL, timeout=10)
        self.log(f"sound server {server} is up, default sink: null sink 'ci'")

    def _server(self, name, argv):
        proc = self.procs.start(name, argv, env=self.environment(),
                                stdout=open(os.path.join(self.work, name + ".log"), "wb"),
                                stderr=subprocess.STDOUT)
        self.servers.append(proc)
        return proc

    def _wait_for_protocol(self):
        def ready():
            for proc in self.servers:
                if proc.poll() is not None:
                    raise RuntimeError(f"{proc.args[0]} exited (see its log in {self.work})")
            return subprocess.run(["pactl", "info"], env=self.environment(),
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  timeout=10).returncode == 0

        poll(ready, 30, 0.1, "the sound server")

    def _start_pulseaudio(self):
        self._server("pulseaudio", [
            "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
            "--log-target=stderr",
            "-L", f"module-native-protocol-unix auth-anonymous=1 socket={self.socket}",
            "-L", "module-null-sink sink_name=ci rate=44100 channels=2 format=s16le"])
        self._wait_for_protocol()

    def _start_pipewire(self, run):
        # A session bus of its own, then the server, its session manager and its PulseAudio
        # protocol, as a desktop session starts them.
        bus = os.path.join(run, "bus")
        self.pulse_env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + bus
        self._server("dbus-daemon", ["dbus-daemon", "--session", "--nofork",
                                     "--address=unix:path=" + bus])
        poll(lambda: os.path.exists(bus), 10, 0.05, "the session bus")
        self._server("pipewire", ["pipewire"])
        time.sleep(0.4)
        self._server("wireplumber", ["wireplumber"])
        self._server("pipewire-pulse", ["pipewire-pulse"])
        self._wait_for_protocol()
        env = self.environment()
        subprocess.run(["pactl", "load-module", "module-null-sink", "sink_name=ci",
                        "rate=44100", "channels=2"], env=env, check=True,
                       stdout=subprocess.DEVNULL, timeout=10)
        # The graph at the program's rate and a 256-frame quantum: nothing is resampled, so
        # the recording holds the program's samples exactly.
        for key, value in (("clock.force-rate", "44100"), ("clock.force-quantum", "256")):
            subprocess.run(["pw-metadata", "-n", "settings", "0", key, value], env=env,
                           check=True, stdout=subprocess.DEVNULL, timeout=10)

    def stop_sound_server(self):
        for proc in reversed(self.servers):
            self.procs.stop(proc)
        self.servers = []
        poll(lambda: not os.path.exists(self.socket) or not _socket_listens(self.socket), 10,
             0.05, "the sound server's socket to go")

    # --- environment ----------------------------------------------------------------------

    def environment(self, **extra):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("PULSE_", "PIPEWIRE_", "DBUS_SESSION_", "QT_", "SDL_",
                                    "XDG_", "WAYLAND_", "THUMPA_AUDIO"))}
        env.update(self.pulse_env if hasattr(self, "pulse_env") else {})
        if self.display_name:
            env["DISPLAY"] = self.display_name
        env["QT_QPA_PLATFORM"] = "xcb"
        env["LANG"] = env["LC_ALL"] = "C.UTF-8"
        env.update(extra)
        return env

    # --- what a user sees ------------------------------------------------------------------

    def top_windows(self):
        """Viewable top-level windows: list of (id, title, transient_for or None)."""
        windows = []
        try:
            children = self.x.screen().root.query_tree().children
        except XError:
            return windows
        net_name = self.x.intern_atom("_NET_WM_NAME")
        utf8 = self.x.intern_atom("UTF8_STRING")
        for w in children:
            try:
                if w.get_attributes().map_state != X.IsViewable:
                    continue
                prop = w.get_full_property(net_name, utf8)
                if prop is not None:
                    title = prop.value.decode("utf-8", "replace")
                else:
                    title = w.get_wm_name() or ""
                    if isinstance(title, bytes):
                        title = title.decode("latin-1")
                tf = w.get_full_property(Xatom.WM_TRANSIENT_FOR, Xatom.WINDOW)
                windows.append((w.id, title, tf.value[0] if tf is not None else None))
            except (BadWindow, XError):
                continue  # went away meanwhile
        return windows

    def windows_named(self, pattern):
        rx = re.compile(pattern)
        return [w for w in self.top_windows() if rx.fullmatch(w[1])]

    def window_image(self, wid):
        """The window's pixels as an (h, w, 3) uint8 RGB array, or None if it is gone."""
        import numpy as np
        try:
            win = self.x.create_resource_object("window", wid)
            geo = win.get_geometry()
            img = win.get_image(0, 0, geo.width, geo.height, X.ZPixmap, 0xFFFFFFFF)
        except XError:
            return None
        data = np.frombuffer(img.data, dtype=np.uint8)
        data = data.reshape(geo.height, -1)[:, : geo.width * 4].reshape(geo.height, geo.width, 4)
        return data[:, :, 2::-1].copy()  # BGRX to RGB

    def window_geometry(self, wid):
        """(x, y, width, height) of the window on the screen."""
        win = self.x.create_resource_object("window", wid)
        geo = win.get_geometry()
        pos = win.translate_coords(self.x.screen().root, 0, 0)
        return (-pos.x, -pos.y, geo.width, geo.height)

    def xdotool(self, *args, timeout=20):
        """Runs xdotool on this display; returns its stdout."""
        out = subprocess.run(["xdotool", *args], env=self.environment(), capture_output=True,
                             text=True, timeout=timeout)
        if out.returncode != 0:
            raise RuntimeError(f"xdotool {' '.join(args)} failed: {out.stderr.strip()}")
        return out.stdout

    def xtest_key(self, name, down):
        """Sends a key-down or key-up of the keysym `name` (e.g. "3", "F5", "space") through
        XTest from this process and waits until the X server has it. Returns the monotonic
        time taken just before sending."""
        keycode = self.x.keysym_to_keycode(XK.string_to_keysym(name))
        if not keycode:
            raise RuntimeError(f"no key for {name!r}")
        t = now_ns()
        xtest.fake_input(self.x, X.KeyPress if down else X.KeyRelease, keycode)
        self.x.sync()
        return t

    def screenshot(self, wid, path):
        subprocess.run(["import", "-window", str(wid), path], env=self.environment(), check=True,
                       timeout=60, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def _socket_listens(path):
    import socket
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        s.connect(path)
        return True
    except OSError:
        return False
    finally:
        s.close()


class Recorder:
    """parec on the null sink's monitor, piped into a timestamping writer (recorder.py)."""

    def __init__(self, desktop, path):
        self.desktop = desktop
        self.path = path
        self.times_path = path + ".times"
        self.parec = None
        self.writer = None

    def start(self):
        d = self.desktop
        # Real-time priority where allowed, so that a busy machine does not make it lose audio.
        rt = ["chrt", "-f", "30"] if subprocess.run(
            ["chrt", "-f", "30", "true"], stderr=subprocess.DEVNULL).returncode == 0 else []
        self.parec = d.procs.start(
            "parec",
            [*rt, "parec", "-d", "ci.monitor", "--raw", "--format=s16le", "--rate=44100",
             "--channels=2", "--latency-msec=2", "--process-time-msec=1"],
            env=d.environment(), stdout=subprocess.PIPE,
            stderr=open(self.path + ".parec.log", "wb"))
        here = os.path.dirname(os.path.abspath(__file__))
        self.writer = d.procs.start(
            "recorder", ["/usr/bin/python3", os.path.join(here, "recorder.py"), self.path],
            stdin=self.parec.stdout)
        self.parec.stdout.close()  # the writer holds the pipe now
        # The monitor of an idle null sink starts delivering about a second after a recorder
        # connects; wait until it does, and a little more so that it flows steadily.
        poll(lambda: self.frames() > SAMPLE_RATE // 10, 30, 0.05, "the recorder's first audio")

    def frames(self):
        try:
            return os.path.getsize(self.path) // 4
        except OSError:
            return 0

    def stop(self):
        self.desktop.procs.stop(self.parec)
        self.desktop.procs.stop(self.writer)
