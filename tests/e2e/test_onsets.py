#!/usr/bin/python3
"""Checks of the recording analysis on made-up recordings, so that the end-to-end test can
neither miss a wrong voice nor fail on a dropout of the sound server."""

import os
import sys
import tempfile
import unittest

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from onsets import damaged_onsets, find_onsets, read_clock  # noqa: E402

RNG = np.random.default_rng(5)


def decaying(freq, length, noise=0.0):
    t = np.arange(length)
    tone = np.sin(2 * np.pi * freq * t / 44100) + noise * RNG.standard_normal(length)
    return np.round(32767 * tone / np.abs(tone).max() * np.exp(-t / (length / 5))).astype(
        np.int64)


VOICES = {"low": decaying(60, 6000), "high": decaying(900, 3000, 0.3),
          "noise": decaying(3000, 2500, 3.0), "short": decaying(1500, 900)}
STRANGER = decaying(450, 3000)


def mix(plays, length, voices=VOICES):
    """The program's stream: voices summed and clamped; a voice played again restarts."""
    stream = np.zeros(length, dtype=np.int64)
    for i, (name, at) in enumerate(plays):
        ref = voices[name]
        later = [a for n, a in plays[i + 1:] if n == name]
        end = min(length, at + len(ref), later[0] if later else length)
        stream[at:end] += ref[: end - at]
    return np.clip(stream, -32768, 32767)


def drop(stream, at, zeros, lost):
    """What the sound server makes of a stream that came late at `at`."""
    return np.concatenate([stream[:at], np.zeros(zeros, dtype=np.int64),
                           stream[at + lost:]])[: len(stream)]


class FindOnsets(unittest.TestCase):
    def test_table(self):
        cases = [
            # (what, recording, expected onsets, expected dropouts, onsets with a dropout in)
            ("separate voices", mix([("low", 500), ("high", 9000)], 15000),
             [("low", 500), ("high", 9000)], [], []),
            ("overlapping and clamped", mix([("low", 500), ("high", 700), ("noise", 900)],
                                            9000),
             [("low", 500), ("high", 700), ("noise", 900)], [], []),
            ("a restart cuts the voice off", mix([("high", 100), ("high", 1500)], 6000),
             [("high", 100), ("high", 1500)], [], []),
            ("dropout inside a voice", drop(mix([("low", 300)], 9000), 2000, 63, 20),
             [("low", 300)], [(2000, 63, 20)], [0]),
            ("voice starting as a dropout ends",
             drop(mix([("low", 300), ("high", 2010)], 9000), 2000, 63, 20),
             [("low", 300), ("high", 2063)], [(2000, 63, 20)], [0]),
            ("dropout in a restarted voice damages the restart only",
             drop(mix([("high", 100), ("high", 1500)], 6000), 2000, 40, 10),
             [("high", 100), ("high", 1500)], [(2000, 40, 10)], [1]),
        ]
        for what, rec, onsets, dropouts, damaged in cases:
            with self.subTest(what):
                found = find_onsets(rec, VOICES)
                self.assertEqual([(o.voice, o.frame) for o in found.onsets], onsets)
                self.assertTrue(all(o.matched for o in found.onsets))
                self.assertEqual(found.dropouts, dropouts)
                self.assertEqual(len(found.residual), 0)
                hit = damaged_onsets(found.onsets, found.dropouts, VOICES)
                self.assertEqual([found.onsets.index(o) for o in hit], damaged)

    def test_references_may_lie_one_above_the_played_values(self):
        # WAV files truncate toward zero where playback floors.
        played = {k: v - (v < 0) for k, v in VOICES.items()}
        found = find_onsets(mix([("noise", 100), ("low", 400)], 8000, played), VOICES)
        self.assertEqual([(o.voice, o.frame) for o in found.onsets], [("noise", 100),
                                                                       ("low", 400)])
        self.assertEqual(len(found.residual), 0)

    def test_a_sound_of_no_known_voice_is_reported(self):
        rec = mix([("low", 100), ("stranger", 8000)], 14000, {**VOICES, "stranger": STRANGER})
        found = find_onsets(rec, VOICES)
        self.assertTrue(found.onsets[0].matched)
        self.assertFalse(all(o.matched for o in found.onsets))

    def test_a_voice_cut_short_is_not_explained(self):
        rec = mix([("low", 100)], 8000)
        rec[3000:] = 0  # stopped, never resumed
        found = find_onsets(rec, VOICES)
        self.assertTrue(len(found.residual) > 0 or not all(o.matched for o in found.onsets))


class ReadClock(unittest.TestCase):
    def test_drift_and_late_chunks(self):
        # 20 s of 87-frame chunks, each arriving 0 to 3 ms late, from a sink that runs fast
        # by `before` ppm and from frame `switch` on by `after` ppm (a null sink's clock does
        # so when its block size changes).
        cases = [(800, 800, 0, -800), (1800, 440, 400_000, -980)]
        for before, after, switch, drift_seen in cases:
            with self.subTest(before=before, after=after):
                base = 5_000_000_000
                frames = np.arange(1, 10141) * 87
                ideal = base + np.where(
                    frames < switch, frames / (1 + before * 1e-6),
                    switch / (1 + before * 1e-6) + (frames - switch) / (1 + after * 1e-6)) * (
                    1e9 / 44100)
                late = RNG.uniform(0, 3e6, len(frames))
                late[::50] = 0  # now and then one comes at once
                with tempfile.NamedTemporaryFile("w", suffix=".times", delete=False) as f:
                    for t, n in zip(ideal + late, frames):
                        f.write(f"{int(t)} {n * 4}\n")
                clock, drift, _ = read_clock(f.name)
                os.unlink(f.name)
                self.assertAlmostEqual(drift, drift_seen, delta=20)
                for k in (1, 2300, 4600, 6900, 10140):  # chunks, from the first to the last
                    self.assertLess(abs(clock(frames[k - 1]) - ideal[k - 1]), 200_000, k)  # 0.2 ms


if __name__ == "__main__":
    unittest.main()
