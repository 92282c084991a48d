#!/usr/bin/python3
"""End-to-end test of the desktop program on a real X server and a real sound server.

Drives the real `thumpa` only through the X server (XTest and xdotool keys, the mouse) and
judges only what a user sees (window titles, pixels, text read off message boxes) and hears
(the sound server's output, recorded from the null sink's monitor), plus the files the program
writes. Measures key-press-to-sound latency, the metronome's intervals, the holes a late stream
leaves in hits and ticks, and the start-up time, and writes them to the log and to
figures.txt.

The sound server is PulseAudio or a PipeWire session (--server). The load run (--load) plays
30 Closed Hi-hats and a minute of metronome beside a CPU hog instead of the whole scenario.

Usage: e2e_test.py --build BUILD_DIR --out OUTPUT_DIR [--server pulse|pipewire] [--load]
                   [--screenshot-copy PATH] [--strict-goals]
Exit status 0 when every check passed; a missed goal is a figure, not a failure, unless
--strict-goals.
"""

import argparse
import filecmp
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
import traceback

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop import SERVERS, Desktop, Processes, Recorder, now_ns, poll  # noqa: E402
from onsets import (SAMPLE_RATE, damaged_onsets, find_onsets, read_clock,  # noqa: E402
                    read_recording, read_wav)
from screen import (blank_share, read_text, text_similarity,  # noqa: E402
                    view_bottom, waveform_match)

WAV_NAMES = ["kick.wav", "snare1.wav", "ch.wav", "oh.wav", "blipp.wav", "clave.wav",
             "cowbell.wav", "osc.wav"]
# Digit keys and the voice each plays.
DIGIT_VOICES = {"1": "blipp", "2": "clave", "3": "ch", "4": "oh", "5": "kick", "6": "snare1",
                "7": "cowbell", "9": "osc"}
METRONOME_FRAMES = 13230  # 300 ms
METRONOME_GOAL = 44  # frames either way (1 ms)
LATENCY_GOALS_MS = {"pulse": 12.0, "pipewire": 8.0}  # median key press to sound
LOAD_PRESSES = 30
LOAD_METRONOME_S = 60.0
# What the program prints to stderr when its sound output opens and closes.
OPEN_LINE = re.compile(r"thumpa: sound output (\S+), (\d+)-frame periods, latency (\d+) frames")
CLOSE_LINE = re.compile(
    r"thumpa: sound output (\S+) closed, latency (\d+) frames, (\d+) underflows")
OUTPUT_TITLES = {"pulse": "PulseAudio", "pipewire": "PipeWire"}  # in the status line
KICK_FIELDS = ["sample_rate", "a_freq", "a_decay", "start_freq", "stop_freq", "freq_decay",
               "decay", "mix"]
KICK_SLOT = 3
OPEN_FAILURES = ["Failed to initialize COM library", "Failed to create DirectSound COM object",
                 "Failed to Initialize DirectSound object",
                 "DirectSound SetCooperativeLevel failed", "Cannot create primary buffer",
                 "Cannot set format"]


class Failed(Exception):
    """A step cannot go on; the checks so far stand."""


class Event:
    def __init__(self, label, t_before, t_press, expect, timed=True):
        self.label = label
        self.t_before = t_before
        self.t_press = t_press  # the key-down has been sent and flushed by now
        self.expect = expect  # voice name, or None for "no sound"
        self.timed = timed  # counts for the latency figures


class E2E:
    def __init__(self, build, out, server="pulse", load=False, strict_goals=False):
        self.strict_goals = strict_goals
        self.server = server
        self.load = load
        self.build = os.path.abspath(build)
        self.out = os.path.abspath(out)
        self.thumpa = os.path.join(self.build, "app", "thumpa")
        self.render = os.path.join(self.build, "tools", "thumpa-render")
        self.work = os.path.join(self.out, "work")
        shutil.rmtree(self.out, ignore_errors=True)
        os.makedirs(self.work)
        self.log_file = open(os.path.join(self.out, "e2e.log"), "w")
        self.t_start = time.monotonic()
        self.failures = []
        self.passes = 0
        self.figures = []
        self.events = []
        self.procs = Processes(self.log)
        self.desktop = Desktop(self.work, self.procs, self.log)
        self.app = None
        self.main = None
        self.refs = {}

    # --- reporting ------------------------------------------------------------------------

    def log(self, message):
        line = f"[{time.monotonic() - self.t_start:7.3f}] {message}"
        print(line, flush=True)
        self.log_file.write(line + "\n")
        self.log_file.flush()

    def check(self, ok, message, window=None):
        """Counts a check. A failure with WINDOW ((start, end) in ns on CLOCK_MONOTONIC) is a
        timing failure over that span: a sound late, cut or missing then, not a wrong one; it
        is logged as "TIMING FAIL <start s> <end s>: ..." for realtime_guard.py, whatever
        else as "FAIL ..."."""
        if ok:
            self.passes += 1
            self.log(f"PASS {message}")
        else:
            self.failures.append(message)
            if window:
                self.log(f"TIMING FAIL {window[0] / 1e9:.6f} {window[1] / 1e9:.6f}: {message}")
            else:
                self.log(f"FAIL {message}")
        return ok

    def figure(self, message):
        self.figures.append(message)
        self.log(f"FIGURE {message}")

    # --- helpers --------------------------------------------------------------------------

    def run_render(self, *args):
        out = subprocess.run([self.render, *args], capture_output=True, text=True, timeout=120)
        if out.returncode != 0:
            raise Failed(f"thumpa-render {' '.join(args)} failed: {out.stderr.strip()}")
        return out.stdout

    def key(self, *keys):
        for k in keys:
            self.desktop.xdotool("key", "--clearmodifiers", k)

    def press(self, key, expect, timed=True):
        """Presses and releases a key, noting when the press was sent. A plain key goes through
        XTest from this process, timed just before it is sent, so no process start lies in
        between; keys with modifiers and keypad keys go through xdotool, which sets up the
        modifiers (and NumLock) they need."""
        if "+" in key or key.startswith("KP_"):
            t_before = now_ns()
            self.desktop.xdotool("keydown", "--delay", "0", key)
            t_press = now_ns()
            self.desktop.xdotool("keyup", "--delay", "0", key)
        else:
            t_before = t_press = self.desktop.xtest_key(key, True)
            self.desktop.xtest_key(key, False)
        self.events.append(Event(key, t_before, t_press, expect, timed))
        return t_press

    def focus(self, wid):
        self.desktop.xdotool("windowfocus", "--sync", str(wid))

    def focus_main(self):
        # There is no window manager: when a dialog closes, nobody gives the focus back.
        poll(lambda: self.dialogs() == [], 20, 0.02, "every dialog of thumpa to close")
        self.focus(self.main)

    def dialogs(self):
        """Viewable windows owned by the main window (dialogs, message boxes, menus)."""
        return [w for w in self.desktop.top_windows() if w[2] == self.main]

    def wait_dialog(self, title=None, timeout=20):
        def found():
            ds = [w for w in self.dialogs() if title is None or w[1] == title]
            return ds[0] if ds else None

        return poll(found, timeout, 0.02, f"a window titled {title!r}" if title else "a dialog")

    def read_box(self, wid):
        """Title and OCR text of a message box."""
        title = self.desktop.xdotool("getwindowname", str(wid)).strip()
        image = poll(lambda: self.desktop.window_image(wid), 10, 0.05, "the box's pixels")
        text = read_text(image)
        return title, text

    def check_box(self, wid, title, text, what):
        seen_title, seen_text = self.read_box(wid)
        flat = " ".join(seen_text.split())
        if title is not None:
            self.check(seen_title == title,
                       f"{what}: box title is {title!r} (seen {seen_title!r})")
        similarity = text_similarity(seen_text, text)
        self.check(similarity >= 0.85,
                   f"{what}: box text reads {text!r} (seen {flat!r}, similarity {similarity:.2f})")
        return seen_title, seen_text

    def dismiss(self, wid):
        self.focus(wid)
        self.key("Return")
        poll(lambda: wid not in [w[0] for w in self.desktop.top_windows()], 20, 0.02,
             "the box to close")

    def check_status_line(self, what, expected):
        """The status line under the view reads each text of `expected`, spaces aside (OCR
        merges the small words of "no MIDI input"); it follows within half a second."""
        deadline = time.monotonic() + 5
        while True:
            image = poll(lambda: self.desktop.window_image(self.main), 10, 0.05, "the window")
            seen = read_text(image[view_bottom(image):])
            scores = [text_similarity(re.sub(r"\s", "", seen), re.sub(r"\s", "", e))
                      for e in expected]
            if min(scores) >= 0.85 or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        for e, score in zip(expected, scores):
            self.check(score >= 0.85, f"{what}: the status line reads {e!r} (seen "
                                      f"{' '.join(seen.split())!r}, similarity {score:.2f})")

    def thumpa_windows(self):
        return self.desktop.windows_named("Thumpa")

    # --- the steps ------------------------------------------------------------------------

    def prepare_references(self):
        ref = os.path.join(self.out, "reference")
        os.makedirs(ref)
        self.run_render("--out", ref)
        self.ref_dir = ref
        for name in WAV_NAMES:
            self.refs[name[:-4]] = read_wav(os.path.join(ref, name))
        self.log("reference voices: " +
                 ", ".join(f"{k} {len(v)} samples" for k, v in self.refs.items()))

    def start_program(self):
        cwd = os.path.join(self.work, "cwd")
        os.makedirs(cwd)
        self.cwd = cwd
        blipp = self.refs["blipp"]
        t0 = time.monotonic()
        self.app = self.procs.start(
            "thumpa", [self.thumpa], env=self.desktop.environment(), cwd=cwd,
            stdout=open(os.path.join(self.out, "thumpa.log"), "wb"), stderr=subprocess.STDOUT)
        t_window = None
        last = None
        while time.monotonic() - t0 < 60:
            if self.app.poll() is not None:
                raise Failed(f"thumpa exited at start-up with code {self.app.returncode}")
            wins = self.thumpa_windows()
            if wins:
                if t_window is None:
                    t_window = time.monotonic() - t0
                image = self.desktop.window_image(wins[0][0])
                if image is not None:
                    last = waveform_match(image, blipp)
                    if last[0] >= 0.97:
                        break
            time.sleep(0.005)
        t_drawn = time.monotonic() - t0
        self.check(t_window is not None, "start-up: a window titled 'Thumpa' appears")
        if t_window is None:
            raise Failed("no window 'Thumpa'")
        self.main = self.thumpa_windows()[0][0]
        self.check(last is not None and last[0] >= 0.97,
                   f"start-up: the waveform area shows the Blipp "
                   f"({last[0] * 100 if last else 0:.1f}% of {last[2] if last else 0} columns "
                   f"on the curve)")
        self.view_top = last[1] if last else 0
        self.figure(f"start of the process to the window: {t_window * 1000:.0f} ms; "
                    f"to the window with the Blipp drawn: {t_drawn * 1000:.0f} ms "
                    f"(polled every ~10 ms)")
        shot = os.path.join(self.out, "thumpa.png")
        self.desktop.screenshot(self.main, shot)
        self.screenshot_path = shot
        self.log(f"screenshot saved: {shot}")
        log = open(os.path.join(self.out, "thumpa.log"), errors="replace").read()
        opened = OPEN_LINE.search(log)
        midi = os.path.exists("/dev/snd/seq") and "no MIDI input" not in log
        self.check_status_line("start-up", [
            "Shown: Blipp", f"{OUTPUT_TITLES[self.server]}, {opened.group(2) if opened else 256}"
            " frames", "MIDI: ALSA port Thumpa" if midi else "no MIDI input", "no settings file"])

    def covered(self, image, wid):
        """Mask of the main window's pixels that window wid lies over."""
        mx, my, _, _ = self.desktop.window_geometry(self.main)
        bx, by, bw, bh = self.desktop.window_geometry(wid)
        mask = np.zeros(image.shape[:2], dtype=bool)
        mask[max(0, by - my): max(0, by - my + bh), max(0, bx - mx): max(0, bx - mx + bw)] = True
        return mask

    def check_shown(self, voice, what, over=None):
        """The waveform area shows the voice (outside window `over`, if given)."""
        image = poll(lambda: self.desktop.window_image(self.main), 10, 0.05, "the window")
        share = 0.0
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            hidden = self.covered(image, over) if over else None
            share, _, cols = waveform_match(image, self.refs[voice], hidden=hidden)
            if share >= 0.97:
                break
            time.sleep(0.05)
            image = self.desktop.window_image(self.main)
        if not self.check(share >= 0.97, f"{what}: the waveform area shows the {voice} "
                                         f"({share * 100:.1f}% of {cols} columns on its "
                                         f"curve)"):
            path = os.path.join(self.out, f"seen-{voice}.png")
            self.desktop.screenshot(self.main, path)
            self.log(f"what the window showed: {path}")

    def play_keys(self):
        self.focus(self.main)
        rng = random.Random(7)
        order = list(DIGIT_VOICES) * 3
        for k in order:
            self.press(k, DIGIT_VOICES[k])
            time.sleep(rng.uniform(0.22, 0.30))
        self.press("KP_1", None, timed=False)  # the keypad's 1 is not the digit key 1
        time.sleep(0.4)
        self.press("space", "blipp")  # the Blipp is shown at start
        time.sleep(0.3)
        self.press("shift+5", None, timed=False)  # shows the Kick
        time.sleep(0.3)
        self.press("space", "kick")
        time.sleep(0.3)
        self.check_shown("kick", "after Shift+5")
        self.check_status_line("after Shift+5", ["Shown: Kick"])

    def second_instance(self, *args, cwd=None):
        before = now_ns()
        second = self.procs.start("second thumpa", [self.thumpa, *args],
                                  env=self.desktop.environment(), cwd=cwd or self.cwd,
                                  stdout=open(os.path.join(self.out, "thumpa2.log"), "ab"),
                                  stderr=subprocess.STDOUT)
        try:
            code = second.wait(30)
        except subprocess.TimeoutExpired:
            code = None
        if code is None:
            self.procs.stop(second)
        else:
            self.procs.stop(second)  # already ended: only forgets it
        self.check(code == 0, f"a second {' '.join(['thumpa', *args])} exits with code 0 (got {code}, after "
                              f"{(now_ns() - before) / 1e6:.0f} ms)")
        time.sleep(0.3)
        wins = self.thumpa_windows()
        self.check(len(wins) == 1 and wins[0][0] == self.main and self.app.poll() is None,
                   f"the first thumpa stays the only window 'Thumpa' (windows: {wins})")
        self.events.append(Event("second start", before, before, None, timed=False))

    def write_all(self, folder, what, ref=None):
        for name in WAV_NAMES:
            path = os.path.join(folder, name)
            if os.path.exists(path):
                os.remove(path)
        self.focus_main()
        self.key("alt+f")
        self.wait_dialog()  # the File menu
        self.key("a")
        box = self.wait_dialog("Files written")
        self.check_box(box[0], "Files written", "All files written OK...", f"{what}: Write All")
        self.dismiss(box[0])
        same = all(os.path.exists(os.path.join(folder, n)) and
                   filecmp.cmp(os.path.join(folder, n), os.path.join(ref or self.ref_dir, n),
                               shallow=False) for n in WAV_NAMES)
        present = [n for n in WAV_NAMES if os.path.exists(os.path.join(folder, n))]
        self.check(same, f"{what}: Write All wrote the eight WAV files into {folder}, "
                         f"byte-identical to thumpa-render {'--settings ' if ref else ''}--out "
                         f"(present: {present})")

    def save_settings(self, path, what):
        self.focus_main()
        self.key("alt+f")
        self.wait_dialog()
        # "&Save Settings" (greyed) and "&Save Settings As..." share their mnemonic; the
        # arrow keys pass over the greyed item.
        self.key("Down", "Down", "Return")
        dialog = self.wait_dialog("Save As")
        self.focus(dialog[0])
        time.sleep(0.2)
        self.desktop.xdotool("type", "--delay", "15", path)
        self.key("Return")
        poll(lambda: self.dialogs() == [], 20, 0.02, "the file dialog to close")
        poll(lambda: os.path.exists(path) and os.path.getsize(path) > 0, 10, 0.05, path)
        lines = open(path).read().split("\n")
        self.check(len(lines) == 130 and lines[-1] == "",
                   f"{what}: Save Settings As wrote {path} (129 lines: {len(lines) - 1})")
        return lines

    def check_settings_render(self, path, what):
        d = os.path.join(self.out, "rendered-from-settings")
        os.makedirs(d, exist_ok=True)
        self.run_render("--settings", path, "--out", d)
        same = all(filecmp.cmp(os.path.join(d, n), os.path.join(self.ref_dir, n), shallow=False)
                   for n in WAV_NAMES)
        self.check(same, f"{what}: thumpa-render --settings {os.path.basename(path)} --out "
                         f"renders the same bytes as the program's Write All")

    def edit_kick(self, settings_lines):
        kick = {f: int(settings_lines[1 + i]) for i, f in enumerate(KICK_FIELDS)}
        base = 65 + 4 * KICK_SLOT
        shaping = {"dist_level": int(settings_lines[base]),
                   "dist_type": int(settings_lines[base + 1]),
                   "normalize_before": int(settings_lines[base + 2]),
                   "normalize_after": int(settings_lines[base + 3])}
        new_freq = 311 if kick["start_freq"] != 311 else 257
        self.log(f"Kick record {kick}, shaping {shaping}; new Startfreq {new_freq}")

        # What the editor stores for the fields it shows as text and reads back.
        sets = {"start_freq": new_freq,
                "a_decay": fraction_round_trip(kick["a_decay"], "%7.5f", 10.0),
                "freq_decay": fraction_round_trip(kick["freq_decay"], "%7.5f", 1.0),
                "decay": fraction_round_trip(kick["decay"], "%7.5f", 1.0),
                "mix": fraction_round_trip(kick["mix"], "%6.4f", None),
                "dist_level": fraction_round_trip(shaping["dist_level"], "%6.4f", 1.0),
                "normalize_before": 1 if shaping["normalize_before"] else 0,
                "normalize_after": 1 if shaping["normalize_after"] else 0}
        changed = {k: v for k, v in sets.items()
                   if k != "start_freq" and v != {**kick, **shaping}[k]}
        if changed:
            self.log(f"fields the editor's text round trip changes: {changed}")
        plain = os.path.join(self.out, "kick-startfreq.wav")
        self.run_render("--voice", "kick", "--set", f"start_freq={new_freq}", "--shape",
                        "--wav", plain)
        exact = os.path.join(self.out, "kick-edited.wav")
        args = []
        for k, v in sets.items():
            args += ["--set", f"{k}={v}"]
        self.run_render("--voice", "kick", *args, "--shape", "--wav", exact)
        self.refs["kick_edited"] = read_wav(exact)
        if not np.array_equal(read_wav(plain), self.refs["kick_edited"]):
            self.refs["kick_startfreq"] = read_wav(plain)
        self.check(not np.array_equal(self.refs["kick_edited"][:4096], self.refs["kick"][:4096]),
                   f"the edited Kick (Startfreq {new_freq}) differs from the default Kick")

        self.focus_main()
        self.key("ctrl+5")
        dialog = self.wait_dialog("Edit Kick")
        self.check([w[1] for w in self.dialogs()] == ["Edit Kick"], "Ctrl+5 opens 'Edit Kick' alone")
        x, y, w, h = self.desktop.window_geometry(dialog[0])
        # The Startfreq field: x 60, y 15, 40 by 12 in the form's units; the form is 172 by 172.
        fx = round((60 + 20) * w / 172)
        fy = round((15 + 6) * h / 172)
        self.desktop.xdotool("mousemove", "--window", str(dialog[0]), str(fx), str(fy),
                             "click", "1")
        self.key("ctrl+a")
        self.desktop.xdotool("type", "--delay", "20", str(new_freq))
        time.sleep(0.2)
        self.press("alt+t", "kick_edited", timed=False)
        time.sleep(0.6)
        self.check_shown("kick_edited", "after the Kick's Test, beside the dialog", dialog[0])
        self.focus(dialog[0])
        self.key("Escape")
        poll(lambda: self.dialogs() == [], 20, 0.02, "'Edit Kick' to close")
        self.check_shown("kick_edited", "after the Kick's Test and Cancel")
        self.focus_main()
        self.press("shift+5", None, timed=False)  # shows the Kick again: the window repaints
        self.check_shown("kick_edited", "after the Kick's Test, Cancel and Shift+5")
        self.press("5", "kick_edited", timed=False)  # what Test wrote stays after Cancel
        time.sleep(0.4)
        self.edited = (new_freq, sets)

    def metronome(self, seconds=3.4):
        self.focus_main()
        self.press("F5", None, timed=False)
        box = self.wait_dialog()
        self.check_box(box[0], "Thumpa", "Timer resolution set to 1 ms", "F5")
        t_before = now_ns()
        self.dismiss(box[0])
        self.metronome_start = t_before
        self.events.append(Event("resolution box dismissed", t_before, now_ns(), "metronome",
                                 timed=False))
        self.focus_main()
        time.sleep(seconds)
        self.metronome_stop = self.press("F6", None, timed=False)
        time.sleep(1.0)

    def load_run(self):
        """Closed Hi-hats and a minute of metronome while a busy loop at the normal priority
        competes for the processor."""
        hog = self.procs.start("cpu hog", ["/usr/bin/python3", "-c", "while True: pass"])
        time.sleep(1.0)
        self.focus_main()
        rng = random.Random(11)
        for _ in range(LOAD_PRESSES):
            self.press("3", "ch")
            time.sleep(rng.uniform(0.22, 0.30))
        self.metronome(LOAD_METRONOME_S)
        self.procs.stop(hog)

    def exit_program(self):
        self.focus_main()
        self.key("alt+f")
        self.wait_dialog()
        t = now_ns()
        self.key("x")
        try:
            code = self.app.wait(20)
        except subprocess.TimeoutExpired:
            code = None
        self.check(code == 0, f"File, Exit ends thumpa with code 0 (got {code})")
        self.procs.stop(self.app)
        self.exit_time = t

    # --- the recording ----------------------------------------------------------------------

    def analyse(self, recorder):
        rec, differ = read_recording(recorder.path)
        self.check(differ == 0, f"both channels carry the same samples ({differ} frames differ)")
        clock, drift_ppm, lateness = read_clock(recorder.times_path)
        self.figure(f"recording: {len(rec)} frames; the sound server's clock runs "
                 f"{drift_ppm:+.0f} ppm against the monotonic clock; median chunk arrival "
                 f"{lateness / 1e6:.2f} ms after the earliest")
        # Only up to the exit: the device stops then, cutting off what still sounds.
        end = len(rec)
        while end > 0 and clock(end) > self.exit_time:
            end -= SAMPLE_RATE // 100
        rec = rec[: max(end, 0)]
        found = find_onsets(rec, self.refs)
        onsets, residual = found.onsets, found.residual
        first = self.events[0].t_press
        self.log("onsets (ms after the first key press): " + ", ".join(
            f"{o.voice} {(clock(o.frame) - first) / 1e6:.1f}" + ("" if o.matched else " (?)")
            for o in onsets))
        silence = sum(z for _, z, _ in found.dropouts)
        lost = sum(x for _, _, x in found.dropouts)
        self.figure(f"dropouts (the program's stream came late: the sound server played "
                    f"silence and dropped what came too late): {len(found.dropouts)}, "
                    f"{silence} frames of silence, {lost} frames lost" +
                    "".join(f"; at {(clock(f) - first) / 1e9:.3f} s {z} silent, {x} lost"
                            for f, z, x in found.dropouts[:12]))
        unexplained = [o for o in onsets if not o.matched]
        self.check(not unexplained and len(residual) == 0,
                   f"every sound in the recording is one of the voices, sample for sample "
                   f"(unexplained onsets {unexplained}, unexplained frames {len(residual)}"
                   + (f" from {(clock(residual[0]) - first) / 1e9:.3f} s"
                      if len(residual) else "") + ")")
        self.save_onsets(onsets, found.dropouts, clock)
        times = [(clock(o.frame), o) for o in onsets]
        claimed = set()
        kinds = {}  # id(onset) -> "hit" (a key's) or "tick" (the metronome's)
        latencies = []
        ticks = []
        missing = []  # the keys that nothing was heard for
        for i, ev in enumerate(self.events):
            nxt = self.events[i + 1].t_before if i + 1 < len(self.events) else self.exit_time
            if ev.expect == "metronome":
                ticks = [(t, o) for t, o in times
                         if ev.t_before < t <= self.metronome_stop + 100_000_000]
                for t, o in ticks:
                    claimed.add(id(o))
                    kinds[id(o)] = "tick"
                bad = [o for t, o in ticks if o.voice != "ch"]
                self.check(not bad and len(ticks) >= 8,
                           f"after the resolution box, the metronome ticks the Closed Hi-hat "
                           f"({len(ticks)} ticks before F6, other voices: {bad})")
                continue
            window = [(t, o) for t, o in times
                      if ev.t_before - 5_000_000 <= t < min(nxt, ev.t_press + 200_000_000)
                      and id(o) not in claimed]
            if ev.expect is None:
                self.check(not window, f"{ev.label} makes no sound "
                                       f"(heard: {[o.voice for _, o in window]})")
                continue
            hits = [(t, o) for t, o in window if o.voice == ev.expect]
            # Nothing heard at all is a sound that came late or not at all; another voice heard
            # is a wrong sound.
            span = (ev.t_before - 5_000_000, min(nxt, ev.t_press + 200_000_000))
            if not window:
                missing.append(ev)
            if self.check(bool(hits), f"{ev.label} plays {ev.expect} "
                                      f"(heard: {[o.voice for _, o in window]})",
                          span if not window else None):
                t, o = hits[0]
                claimed.add(id(o))
                kinds[id(o)] = "hit"
                if ev.timed:
                    latencies.append((t - ev.t_press) / 1e6)
        stray = [(t, o) for t, o in times if id(o) not in claimed]
        # A stray sound that an earlier key without its sound asked for came late: timing,
        # over the span from that key to the sound.
        late = [next((ev for ev in reversed(missing) if ev.expect == o.voice and ev.t_press < t),
                     None) for t, o in stray]
        late_span = None
        if stray and all(late):
            late_span = (min(ev.t_before for ev in late), max(t for t, _ in stray))
        self.check(not stray, "no sound that no key asked for (stray: " + ", ".join(
            f"{o.voice} {(t - self.events[0].t_press) / 1e9:.3f} s after the first key"
            for t, o in stray) + ")", late_span)
        damaged = {id(o) for o in damaged_onsets(onsets, found.dropouts, self.refs)}
        self.sound_output_figures()
        goal = LATENCY_GOALS_MS[self.server]
        if latencies:
            lat = np.array(latencies)
            median, p90 = np.median(lat), np.percentile(lat, 90)
            self.figure(f"key press (XTest key-down sent) to recorded onset over {len(lat)} "
                        f"presses: median {median:.1f} ms, p90 {p90:.1f} ms, worst "
                        f"{lat.max():.1f} ms, best {lat.min():.1f} ms (goal: median at most "
                        f"{goal:.0f} ms: {met(median <= goal)})")
            self.log("latencies ms: " + " ".join(f"{x:.1f}" for x in latencies))
            if self.strict_goals:
                self.check(median <= goal, f"median key-press latency at most {goal:.0f} ms",
                           (self.events[0].t_before, self.exit_time))
            self.check(len(lat) >= 20, f"latency measured over at least 20 presses ({len(lat)})")
            self.latency = lat
        hits = [o for o in onsets if kinds.get(id(o)) == "hit"]
        tick_onsets = [o for o in onsets if kinds.get(id(o)) == "tick"]
        for kind, group in (("hits", hits), ("ticks", tick_onsets)):
            bad = [o for o in group if id(o) in damaged]
            self.figure(f"damaged {kind} (a run of exact zeros inside the voice): {len(bad)} of "
                        f"{len(group)} (goal 0: {met(not bad)})" +
                        "".join(f"; {(clock(o.frame) - first) / 1e9:.3f} s" for o in bad[:12]))
            if self.strict_goals:
                # A run of zeros is a stream that came late: timing, over the damaged sounds.
                self.check(not bad, f"no damaged {kind}", (
                    min(clock(o.frame) for o in bad) - 5_000_000,
                    max(clock(o.frame) for o in bad) + 300_000_000) if bad else None)
        if len(ticks) >= 2:
            frames = [o.frame for _, o in ticks]
            gaps = np.diff(frames)
            off = np.abs(gaps - METRONOME_FRAMES)
            self.figure(f"metronome inter-onset intervals over {len(gaps)} gaps: "
                        f"min {gaps.min()} max {gaps.max()} median {int(np.median(gaps))} "
                        f"frames, worst {off.max()} frames ({off.max() / 44.1:.2f} ms) from "
                        f"{METRONOME_FRAMES} (goal +/- {METRONOME_GOAL}: "
                        f"{met(off.max() <= METRONOME_GOAL)}); " + (
                            f"intervals {' '.join(str(g) for g in gaps)}" if len(gaps) <= 20
                            else "beyond the goal: " + (" ".join(
                                f"#{i + 1} {g}" for i, g in enumerate(gaps)
                                if abs(g - METRONOME_FRAMES) > METRONOME_GOAL) or "none")))
            # In the sink's frames a sink clock that runs fast stretches every interval; on
            # the system's clock that drift is gone.
            real = np.diff([t for t, _ in ticks]) / 1e6
            self.figure(f"metronome intervals on the monotonic clock: worst "
                        f"{np.abs(real - 300).max():.2f} ms from 300 ms, median "
                        f"{np.median(real):.2f} ms")
            # A tick off its time is timing: one failure per interval off, over its two ticks.
            limit = METRONOME_GOAL if self.strict_goals else None if self.load else 441
            if limit is not None:
                wrong = [i for i, o in enumerate(off) if o > limit]
                for i in wrong:
                    self.check(False, f"the metronome ticks every 300 ms within {limit} frames "
                                      f"(interval #{i + 1}: {gaps[i]} frames)",
                               (ticks[i][0] - 5_000_000, ticks[i + 1][0] + 5_000_000))
                if not wrong:
                    self.check(True, f"the metronome ticks every 300 ms within {limit} frames "
                                     f"(worst {off.max()} frames)")
            self.metronome_gaps = gaps
        after = [o for t, o in times if t > self.metronome_stop + 100_000_000]
        self.check(not after, f"F6 stops the metronome (sounds after F6: {after})")

    def save_onsets(self, onsets, dropouts, clock):
        first = self.events[0].t_press
        with open(os.path.join(self.out, "onsets.txt"), "w") as f:
            f.write("# what was heard: ms after the first key press, recording frame, voice\n")
            for o in onsets:
                f.write(f"{(clock(o.frame) - first) / 1e6:10.1f} {o.frame:8d} {o.voice}"
                        f"{'' if o.matched else ' UNEXPLAINED'}\n")
            for fr, z, x in dropouts:
                f.write(f"{(clock(fr) - first) / 1e6:10.1f} {fr:8d} dropout: {z} frames of "
                        f"silence, {x} frames lost\n")
            f.write("# what was pressed: ms after the first key press, key, voice expected\n")
            for ev in self.events:
                f.write(f"{(ev.t_press - first) / 1e6:10.1f} {ev.label} {ev.expect}\n")

    def sound_output_figures(self):
        """The program's own lines on its sound output: which backend, its period and latency
        at the start and (PulseAudio's grows with underflows) at the end."""
        text = open(os.path.join(self.out, "thumpa.log"), errors="replace").read()
        opened, closed = OPEN_LINE.search(text), CLOSE_LINE.search(text)
        if not self.check(opened is not None, "thumpa names its sound output on stderr"):
            return
        name, period, latency = opened.group(1), int(opened.group(2)), int(opened.group(3))
        self.figure(f"sound output {name}, {period}-frame periods, latency {latency} frames at "
                    f"the start" + (f", {closed.group(2)} frames at the end after "
                                    f"{closed.group(3)} underflows" if closed else ""))
        self.check(name == self.server,
                   f"on {self.server} thumpa picks that server's own client (picked {name})")

    # --- no sound server ----------------------------------------------------------------------

    def without_sound_server(self):
        self.desktop.stop_sound_server()
        self.log("sound server stopped")
        cwd = os.path.join(self.work, "cwd-silent")
        os.makedirs(cwd)
        app = self.procs.start(
            "thumpa without sound", [self.thumpa], env=self.desktop.environment(), cwd=cwd,
            stdout=open(os.path.join(self.out, "thumpa-silent.log"), "wb"),
            stderr=subprocess.STDOUT)
        self.main = poll(lambda: [w[0] for w in self.thumpa_windows() if w[2] is None], 30,
                         0.02, "the main window")[0]
        texts = []
        for _ in range(8):
            box = None
            deadline = time.monotonic() + 30
            while box is None and time.monotonic() < deadline and app.poll() is None:
                ds = [w for w in self.dialogs()]
                box = ds[0] if ds else None
                if box is None:
                    time.sleep(0.02)
            if box is None:
                break
            title, text = self.read_box(box[0])
            flat = " ".join(text.split())
            self.log(f"message box {title!r}: {flat!r}")
            texts.append((title, flat))
            image = self.desktop.window_image(self.main)
            if image is not None and len(texts) == 1:
                # The box lies over the main window: judge only the rest of the view.
                blank = blank_share(image, self.view_top, self.covered(image, box[0]))
                self.check(blank > 0.999, f"no sound server: the waveform area is blank while "
                                          f"the messages show ({blank * 100:.2f}% blank)")
            self.dismiss(box[0])
        try:
            code = app.wait(20)
        except subprocess.TimeoutExpired:
            code = None
        self.procs.stop(app)
        self.check(code == 0, f"no sound server: thumpa exits with code 0 (got {code})")
        self.check(len(texts) >= 2, f"no sound server: thumpa shows its messages "
                                    f"({len(texts)} boxes)")
        if len(texts) >= 2:
            first_title, first_text = texts[0]
            best = max(OPEN_FAILURES, key=lambda t: text_similarity(first_text, t))
            sim = text_similarity(first_text, best)
            self.check(first_title == "Thumpa" and sim >= 0.85,
                       f"no sound server: first the sound device's own message, titled "
                       f"'Thumpa' (seen {first_title!r}: {first_text!r}, "
                       f"closest {best!r} {sim:.2f})")
            last_title, last_text = texts[-1]
            sim = text_similarity(last_text, "DirectSound error!")
            self.check(sim >= 0.85 and last_title != "Thumpa",
                       f"no sound server: last 'DirectSound error!' with the default caption "
                       f"(seen {last_title!r}: {last_text!r}, similarity {sim:.2f})")

    # --- all of it ----------------------------------------------------------------------------

    def scenario(self):
        """What a user does in a session: keys, a second start, files, an edit, the
        metronome."""
        self.play_keys()
        self.second_instance()
        self.write_all(self.cwd, "before any file dialog")
        chosen = os.path.join(self.work, "chosen")
        os.makedirs(chosen)
        settings = os.path.join(chosen, "defaults.zog")
        lines = self.save_settings(settings, "defaults")
        self.check_status_line("after Save Settings As", ["Settings: defaults.zog"])
        self.check_settings_render(settings, "defaults")
        self.write_all(chosen, "after the file dialog")
        self.handed_over_file(chosen, lines, settings)
        self.edit_kick(lines)
        self.metronome()

    def handed_over_file(self, chosen, lines, defaults):
        """A settings file given to a second start (by a name relative to its own folder) is
        opened by the running program; then the defaults are handed over again."""
        handed = os.path.join(chosen, "handed.zog")
        changed = list(lines)
        decay = 1 + KICK_FIELDS.index("decay")
        changed[decay] = str(int(lines[decay]) // 2)
        with open(handed, "w") as f:
            f.write("\n".join(changed))
        ref = os.path.join(self.out, "rendered-from-handed")
        os.makedirs(ref, exist_ok=True)
        self.run_render("--settings", handed, "--out", ref)
        self.second_instance("handed.zog", cwd=chosen)
        self.check_status_line("after a second start with a file", ["Settings: handed.zog"])
        self.write_all(chosen, "after a second start handed over handed.zog", ref)
        self.second_instance(defaults)

    def run(self):
        d = self.desktop
        recorder = None
        try:
            for tool in (self.thumpa, self.render):
                if not os.access(tool, os.X_OK):
                    raise Failed(f"{tool} is missing: build the targets thumpa and thumpa-render")
            self.prepare_references()
            d.start_x()
            d.start_sound_server(self.server)
            recorder = Recorder(d, os.path.join(self.work, "recording.raw"))
            recorder.start()
            self.log("recorder is receiving the sink's monitor")
            self.start_program()
            if self.load:
                self.load_run()
            else:
                self.scenario()
            self.exit_program()
            time.sleep(0.2)
            recorder.stop()
            self.analyse(recorder)
            recorder = None
            if not self.load:
                self.without_sound_server()
        except Failed as e:
            self.check(False, str(e))
        except Exception as e:  # noqa: BLE001 - report and clean up, whatever went wrong
            self.check(False, f"the test itself broke: {e!r}")
            self.log(traceback.format_exc())
            self.emergency_screenshot()
        finally:
            self.procs.stop_all()
        self.log(f"{self.passes} checks passed, {len(self.failures)} failed, "
                 f"{time.monotonic() - self.t_start:.1f} s")
        what = f"{self.server}, " + ("load run: one CPU hog beside thumpa" if self.load
                                     else "the whole scenario, machine otherwise idle")
        figures = os.path.join(self.out, "figures.txt")
        with open(figures, "w") as f:
            f.write(f"# {what}\n")
            for line in self.figures:
                f.write(line + "\n")
        print(f"== figures ({figures})\n" + open(figures).read(), end="", flush=True)
        for line in self.failures:
            self.log(f"FAILED: {line}")
        return not self.failures

    def emergency_screenshot(self):
        try:
            if self.desktop.x is not None:
                path = os.path.join(self.out, "failure.png")
                self.desktop.screenshot("root", path)
                self.log(f"screen at the failure: {path}")
        except Exception:  # noqa: BLE001
            pass


def met(ok):
    return "met" if ok else "MISSED"


def fraction_round_trip(raw, fmt, bound):
    """The stored value after the editor shows `raw` with fmt and reads the text back: the
    number times 2147483647, truncated, low 32 bits; unchanged at or above the bound."""
    text = fmt % (raw / 2147483648.0)
    v = float(text)
    if bound is not None and not v < bound:
        return raw
    stored = int(v * 2147483647.0)
    return ((stored + (1 << 31)) % (1 << 32)) - (1 << 31)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--server", choices=SERVERS, default="pulse",
                        help="the sound server to run the program on")
    parser.add_argument("--load", action="store_true",
                        help="the load run: hits and a minute of metronome beside a CPU hog")
    parser.add_argument("--screenshot-copy", help="also copy the start-up screenshot here")
    parser.add_argument("--strict-goals", action="store_true",
                        help="fail when the latency or metronome figures miss their goals")
    args = parser.parse_args()
    test = E2E(args.build, args.out, args.server, args.load, args.strict_goals)

    def on_signal(signum, _frame):
        test.log(f"signal {signum}: stopping everything")
        test.procs.stop_all()
        sys.exit(1)

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    ok = test.run()
    if args.screenshot_copy and getattr(test, "screenshot_path", None):
        shutil.copyfile(test.screenshot_path, args.screenshot_copy)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
