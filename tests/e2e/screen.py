"""Reading what the user sees: the waveform drawn in the main window, and the text of a
message box or of the status line under the view (by optical character recognition of their
pixels)."""

import difflib
import os
import re
import subprocess
import tempfile

import numpy as np

ZOOM = 4096  # the view's zoom at start-up: 16 samples per pixel column


def waveform_rows(samples16, height):
    """Row of each pixel column for a voice shown at start-up zoom from sample 0 in a view
    `height` pixels high. samples16 are the samples divided by 65536 toward zero, which is what
    a WAV file of the voice holds."""
    half = height // 2
    idx = (np.arange(0, 1 << 16, dtype=np.int64) * ZOOM) >> 8
    idx = idx[idx < len(samples16)]
    h = np.maximum(samples16[idx].astype(np.int64), -32767)
    return ((h + 32767) * half) >> 15


def _view_background(image):
    """The view's background: the commonest colour in the lower half of the window."""
    h = image.shape[0]
    colours, counts = np.unique(image[h // 2 :].reshape(-1, 3), axis=0, return_counts=True)
    return colours[np.argmax(counts)].astype(np.int32)


def view_bottom(image, background=None):
    """The row just below the view: the status line under it has another colour, so the view
    ends with the lowest row that is mostly the view's background."""
    if background is None:
        background = _view_background(image)
    plain = (image.astype(np.int32) == background).all(axis=2).mean(axis=1) > 0.5
    rows = np.nonzero(plain)[0]
    return int(rows[-1]) + 1 if len(rows) else image.shape[0]


def waveform_match(image, samples16, max_top=80, hidden=None):
    """How well the window image shows the voice: the share of pixel columns whose expected
    point is drawn, for the best placement of the view below the menu bar and above the
    status line. Columns where `hidden` (a boolean mask of the image) is set anywhere are
    left out: something lies over them. Returns (share, top, columns judged)."""
    background = _view_background(image)
    h = view_bottom(image, background)
    image, w = image[:h], image.shape[1]
    hidden = None if hidden is None else hidden[:h]
    ink = np.abs(image.astype(np.int32) - background).sum(axis=2) > 96
    # A point counts as drawn when the pixel or one of its vertical neighbours is ink.
    near = ink.copy()
    near[1:] |= ink[:-1]
    near[:-1] |= ink[1:]
    best = (0.0, 0, 0)
    for top in range(0, min(max_top, h // 3)):
        rows = waveform_rows(samples16, h - top)
        cols = min(len(rows), w)
        if cols == 0:
            continue
        ys = np.clip(rows[:cols] + top, 0, h - 1)
        seen = near[ys, np.arange(cols)]
        if hidden is not None:
            seen = seen[~hidden[:, :cols].any(axis=0)]
        if len(seen) == 0:
            continue
        share = float(seen.mean())
        if share > best[0]:
            best = (share, top, len(seen))
    return best


def blank_share(image, top, hidden=None):
    """Share of the view area (below `top` and above the status line, outside the `hidden`
    mask) that has the view's background colour (the commonest colour there)."""
    visible = np.ones(image.shape[:2], dtype=bool) if hidden is None else ~hidden
    visible[:top] = False
    visible[view_bottom(image):] = False
    pixels = image[visible]
    if len(pixels) == 0:
        return 1.0
    colours, counts = np.unique(pixels, axis=0, return_counts=True)
    background = colours[np.argmax(counts)].astype(np.int32)
    ink = np.abs(pixels.astype(np.int32) - background).sum(axis=1) > 96
    return 1.0 - float(ink.mean())


def read_text(image):
    """The text in an RGB image, by OCR (tesseract), scaled up for small screen fonts."""
    with tempfile.TemporaryDirectory() as tmp:
        raw = os.path.join(tmp, "box.ppm")
        big = os.path.join(tmp, "big.png")
        h, w, _ = image.shape
        with open(raw, "wb") as f:
            f.write(b"P6 %d %d 255\n" % (w, h))
            f.write(np.ascontiguousarray(image, dtype=np.uint8).tobytes())
        subprocess.run(["convert", raw, "-resize", "400%", "-colorspace", "Gray", big],
                       check=True, timeout=60)
        out = subprocess.run(["tesseract", big, "-", "--psm", "6"], capture_output=True,
                             text=True, timeout=60)
        return out.stdout


def _normal(text):
    return re.sub(r"\s+", " ", text).strip().lower()


def text_similarity(seen, expected):
    """Best similarity (0 to 1) between the expected text and any stretch of the seen text of
    the same length, ignoring case and spacing. Numbers count in full: a stretch that lacks
    one of the expected numbers scores 0, so "1 ms" is never taken for "2 ms"."""
    seen, expected = _normal(seen), _normal(expected)
    if not expected:
        return 1.0
    numbers = re.findall(r"\d+", expected)
    n = len(expected)
    best = 0.0
    for i in range(0, max(1, len(seen) - n + 1)):
        window = seen[max(0, i - 2) : i + n + 2]
        if re.findall(r"\d+", window) != numbers and not all(
                re.search(rf"(?<!\d){x}(?!\d)", window) for x in numbers):
            continue
        best = max(best, difflib.SequenceMatcher(None, seen[i : i + n], expected).ratio())
    return best
