#!/usr/bin/env python3
"""Renders every kit of the kits folder with thumpa-render, each voice as it plays (shaped),
and checks that no voice is silent or held flat at full scale for more than a few samples,
and that no voice of a kit is the default's voice or another kit's.
Run as: check_kits.py THUMPA_RENDER KITS_FOLDER SCRATCH_FOLDER"""
import hashlib
import pathlib
import subprocess
import sys
import wave
from array import array

VOICES = ["kick", "snare", "closed", "open", "blipp", "clave", "cowbell", "oscillator"]
MAX_FULL_SCALE_RUN = 3
MIN_LENGTH = 400  # samples; a silent voice ends after 10


def voice(render, scratch, kit, name):
    out = scratch / f"{kit.stem if kit else 'default'}-{name}.wav"
    args = [render, "--voice", name, "--wav", str(out), "--shape"]
    subprocess.run(args + (["--settings", str(kit)] if kit else []), check=True)
    with wave.open(str(out)) as w:
        samples = array("h", w.readframes(w.getnframes()))
    return samples


def faults(samples):
    if len(samples) < MIN_LENGTH or max(abs(s) for s in samples) < 1000:
        return "silent"
    run = longest = 0
    for s in samples:
        run = run + 1 if s >= 32767 or s <= -32767 else 0
        longest = max(longest, run)
    return f"held at full scale for {longest} samples" if longest > MAX_FULL_SCALE_RUN else None


def main(render, kits_folder, scratch):
    scratch = pathlib.Path(scratch)
    scratch.mkdir(parents=True, exist_ok=True)
    kits = sorted(pathlib.Path(kits_folder).glob("*.zog"))
    if len(kits) != 6:
        return f"{len(kits)} kits in {kits_folder}, expected 6"
    seen = {}
    for name in VOICES:
        seen[hashlib.sha256(voice(render, scratch, None, name)).digest()] = f"default {name}"
    for kit in kits:
        for name in VOICES:
            samples = voice(render, scratch, kit, name)
            fault = faults(samples)
            if fault:
                return f"{kit.name} {name}: {fault}"
            digest = hashlib.sha256(samples).digest()
            if digest in seen:
                return f"{kit.name} {name} is the {seen[digest]}"
            seen[digest] = f"{kit.name} {name}"
    return None


if __name__ == "__main__":
    failure = main(*sys.argv[1:])
    if failure:
        sys.exit("FAIL " + failure)
    print("six kits, every voice sounding, none clipped flat, none repeated")
