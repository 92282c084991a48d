"""Finds which voices sound where in a recording of the program's output.

The output is the program's own mix: every sounding voice's 16-bit playback values summed and
clamped to 16 bits, a voice played again restarting from its first sample. The sound server
passes it on unchanged (same rate and format, unity volume), so the recording can be explained
sample by sample: starting from silence, the first frame the explanation so far does not cover
is the onset of a new voice, and the voice is the one whose samples, added there, explain the
recording around it. The reference samples come from WAV files, whose values can lie one
above the played ones (they truncate toward zero, playback floors), so each sounding voice
allows one unit of difference.
"""

import wave

import numpy as np

SAMPLE_RATE = 44100
MATCH_FRAMES = 4096  # frames compared to name a voice (93 ms)
LEAD_IN = 64  # how far before the first unexplained frame an onset may lie
MIN_RUN = 64  # frames a voice must explain from its onset to be taken (1.5 ms)


def read_wav(path):
    """Samples of a 16-bit mono WAV file as int32."""
    with wave.open(path, "rb") as w:
        if w.getsampwidth() != 2 or w.getnchannels() != 1:
            raise ValueError(f"{path}: not 16-bit mono")
        data = w.readframes(w.getnframes())
    return np.frombuffer(data, dtype="<i2").astype(np.int32)


def read_recording(path):
    """The left channel of a raw s16le stereo recording as int32, and how many frames differ
    between the two channels (the program writes the same value to both)."""
    raw = np.fromfile(path, dtype="<i2")
    raw = raw[: len(raw) // 2 * 2].reshape(-1, 2)
    return raw[:, 0].astype(np.int32), int(np.count_nonzero(raw[:, 0] != raw[:, 1]))


CLOCK_WINDOW_S = 4  # the arrivals' lower edge is fitted this far either side of a frame


def read_clock(times_path, rate=SAMPLE_RATE):
    """Maps recorded frames to the monotonic clock from the recorder's arrival log.

    A chunk cannot arrive before its last frame was produced, so the lower edge of the
    arrival times, against the frame count, places the frames in time. The sound server's
    clock may run a little fast or slow against the monotonic clock, and by another amount
    once it changes its block size (a null sink rounds every block to whole microseconds), so
    the edge is fitted piecewise: around every half second, a straight line through the
    earliest arrival of each half second within a few seconds either side, moved down onto
    the lowest arrival it spans. Returns clock(frame) -> ns, the drift over the whole
    recording in parts per million and the median lateness of chunk arrivals above the edge
    in ns (the delivery jitter)."""
    t, frames = [], []
    with open(times_path) as f:
        for line in f:
            a, b = line.split()
            t.append(int(a))
            frames.append(int(b) // 4)
    if not t:
        raise ValueError("the recorder logged no audio")
    t = np.array(t, dtype=np.float64)
    frames = np.array(frames, dtype=np.float64)
    offset = t - frames * 1e9 / rate
    half = rate // 2
    bins = (frames // half).astype(np.int64)
    names = np.unique(bins)
    xs, ys = [], []
    for b in names:
        sel = bins == b
        i = np.argmin(offset[sel])
        xs.append(frames[sel][i])
        ys.append(offset[sel][i])
    xs, ys = np.array(xs), np.array(ys)
    lines = []  # (slope, base) around each half second
    for x in xs:
        near = np.abs(xs - x) <= CLOCK_WINDOW_S * rate
        if np.count_nonzero(near) >= 3:
            slope, base = np.polyfit(xs[near], ys[near], 1)
        else:
            slope, base = 0.0, float(ys[near].min())
        spanned = (bins >= names[near][0]) & (bins <= names[near][-1])
        # Every arrival it spans must lie on or above the line: move it down to the lowest.
        base += min(0.0, float(np.min(offset[spanned] - (base + slope * frames[spanned]))))
        lines.append((slope, base))

    def line_of(frame):
        j = int(np.clip(np.searchsorted(names, int(frame) // half), 0, len(names) - 1))
        return lines[j]

    def clock(frame):
        slope, base = line_of(frame)
        return int(base + frame * (1e9 / rate + slope))

    slopes, bases = np.array(lines).T
    j = np.clip(np.searchsorted(names, bins), 0, len(names) - 1)
    edge = bases[j] + slopes[j] * frames
    overall = np.polyfit(xs, ys, 1)[0] if len(xs) >= 3 else 0.0
    drift_ppm = overall / (1e9 / rate) * 1e6
    return clock, drift_ppm, float(np.median(offset - edge))


class Onset:
    def __init__(self, voice, frame, violations, sse):
        self.voice = voice
        self.frame = frame  # in the recording
        self.violations = violations  # frames of the match window left unexplained
        self.sse = sse

    @property
    def matched(self):
        return self.violations == 0

    def __repr__(self):
        state = "" if self.matched else f" UNEXPLAINED in {self.violations} frames"
        return f"{self.voice}@{self.frame}{state}"


class Explanation:
    """What find_onsets makes of a recording."""

    def __init__(self, onsets, dropouts, residual):
        self.onsets = onsets  # Onset list in time order
        self.dropouts = dropouts  # (recording frame, frames of silence, frames of sound lost)
        self.residual = residual  # recording frames still unexplained


MAX_LOST = 512  # frames of the stream a dropout may swallow (seen: up to 60)


def find_onsets(recording, references, max_onsets=1000):
    """Explains the recording as voices started at frames.

    recording: int32 array (one channel); references: dict name -> int32 array of the voice's
    playback values.

    When the program does not deliver its stream in time, the sound server plays silence and
    then goes on with the stream, possibly past a stretch of it that came too late. Such a
    dropout shows as a run of exact zeros where voices were sounding, after which the voices
    go on from a little further on. The search works in the program's stream: a dropout's
    zeros are taken out and the lost stretch is put in as frames that may hold anything.
    """
    n = len(recording)
    rec = recording.astype(np.int64)
    free = np.zeros(n, dtype=bool)  # frames whose content is unknown (lost in a dropout)
    model = np.zeros(n, dtype=np.int64)  # sum of the sounding voices, before clamping
    cover = np.zeros(n, dtype=np.int64)  # how many voices sound at each frame
    sounding = {}  # voice -> (start, end) of its instance that may still sound
    found = []  # (voice, stream frame, violations, sse)
    dropouts = []  # (stream frame, zeros taken out, frames lost)
    leads = {name: _first_audible(ref) for name, ref in references.items()}
    start = 0

    def unexplained_from(i):
        err = np.abs(rec[i:] - np.clip(model[i:], -32768, 32767))
        bad = np.nonzero((err > cover[i:]) & ~free[i:])[0]
        return i + int(bad[0]) if len(bad) else None

    while len(found) < max_onsets:
        b = unexplained_from(start)
        if b is None:
            break
        drop = _dropout_at(rec, model, cover, b, references)
        if drop:
            zeros, lost = drop
            rec = np.concatenate([rec[:b], np.zeros(lost, dtype=np.int64), rec[b + zeros :]])
            free = np.concatenate([free[:b], np.ones(lost, dtype=bool), free[b + zeros :]])
            if len(rec) < n:  # pad the end: nothing is known there
                free = np.concatenate([free, np.ones(n - len(rec), dtype=bool)])
                rec = np.concatenate([rec, np.zeros(n - len(rec), dtype=np.int64)])
            rec, free = rec[:n], free[:n]
            dropouts.append((b, zeros, lost))
            start = b
            continue
        # The voice that explains the longest stretch from its onset on. A stretch can end
        # early for a good reason (a dropout, another voice starting), but a wrong voice
        # parts from the recording within a few frames: full-scale voices that differ at all
        # differ by more than a unit almost at once.
        best = None
        for name, ref in references.items():
            lead = leads[name]
            for o in range(max(0, b - lead - LEAD_IN), min(b, b - lead + 2) + 1):
                length = min(len(ref), MATCH_FRAMES, n - o)
                if length <= 0:
                    continue
                m = model[o : o + length].copy()
                c = cover[o : o + length].copy()
                _cut(m, c, o, name, sounding, references)
                m += ref[:length]
                c += 1
                err = np.abs(rec[o : o + length] - np.clip(m, -32768, 32767))
                err[free[o : o + length]] = 0
                bad = np.nonzero(err > c)[0]
                run = int(bad[0]) if len(bad) else length
                short = 0 if run == length or run >= MIN_RUN else length - run
                key = (-run, o)
                if best is None or key < best[0]:
                    best = (key, name, o, short)
        _, name, o, violations = best
        if violations:
            # Nothing known explains it: note it, and judge nothing more until the recording
            # falls silent, when whatever it was has ended.
            found.append((name, o, violations, 0.0))
            quiet = _next_silence(rec, b)
            free[b:quiet] = True
            model[quiet:] = 0
            cover[quiet:] = 0
            sounding = {}
            start = quiet
            if start >= n:
                break
            continue
        # The chosen voice sounds over its whole length and cuts its own earlier instance.
        ref = references[name]
        end = min(n, o + len(ref))
        _cut(model[o:end], cover[o:end], o, name, sounding, references)
        model[o:end] += ref[: end - o]
        cover[o:end] += 1
        sounding[name] = (o, end)
        found.append((name, o, 0, 0.0))
        start = b
    err = np.abs(rec - np.clip(model, -32768, 32767))
    bad = np.nonzero((err > cover) & ~free)[0]
    residual = [_recording_frame(f, dropouts) for f in bad]
    onsets = [Onset(v, _recording_frame(o, dropouts), viol, sse) for v, o, viol, sse in found]
    gaps = [(_recording_frame(b, dropouts[:i]), z, lost)
            for i, (b, z, lost) in enumerate(dropouts)]
    return Explanation(onsets, gaps, residual)


def damaged_onsets(onsets, dropouts, references):
    """The onsets with a dropout inside, in order: the voice sounded with a hole of silence.
    An instance sounds for its voice's length or until the voice starts again."""
    damaged = []
    for i, o in enumerate(onsets):
        end = o.frame + len(references[o.voice])
        again = [p.frame for p in onsets[i + 1:] if p.voice == o.voice]
        if again:
            end = min(end, again[0])
        if any(o.frame <= f < end for f, _, _ in dropouts):
            damaged.append(o)
    return damaged


def _dropout_at(rec, model, cover, b, references, settle=64, probe=2048, min_zeros=8):
    """(zeros, lost) of the dropout that starts at stream frame b, or None: rec is exactly
    zero there while voices sound, and after the zeros the voices go on, `lost` frames
    further on. Of the candidates that explain the longest stretch after the zeros, the one
    closest to the recording wins (quiet, slow tails fit several). When no candidate explains
    enough, a voice may have started just as the stream came back: that is tried too."""
    expected = np.clip(model, -32768, 32767)
    if rec[b] != 0 or abs(expected[b]) <= cover[b]:
        return None
    zeros = 0
    while b + zeros < len(rec) and rec[b + zeros] == 0:
        zeros += 1
    if zeros < min_zeros:
        return None  # a zero or two where voices cancel out, or a voice starts
    after = rec[b + zeros : b + zeros + probe]
    if len(after) == 0:
        return None  # silent to the end: the voices were cut off, not delayed
    best = None
    for lost in range(0, MAX_LOST + 1):
        e = expected[b + lost : b + lost + len(after)]
        if len(e) < len(after):
            break
        c = cover[b + lost : b + lost + len(after)]
        diff = np.abs(after - e)
        bad = np.nonzero(diff > c)[0]
        explained = int(bad[0]) if len(bad) else len(after)
        key = (-explained, float(np.sum(diff[:explained].astype(np.float64) ** 2)))
        if best is None or key < best[0]:
            best = (key, lost)
    if best is not None and -best[0][0] >= min(settle, len(after)):
        return (zeros, best[1])
    lost = _dropout_with_onset(after[:256], model, cover, b, references)
    return None if lost is None else (zeros, lost)


def _dropout_with_onset(after, model, cover, b, references, reach=64):
    """`lost` of a dropout after which a new voice starts within `reach` frames of the
    stream's return (or started up to `reach` frames before it), or None."""
    from numpy.lib.stride_tricks import sliding_window_view

    w = len(after)
    span = model[b : b + MAX_LOST + w]
    cov = cover[b : b + MAX_LOST + w]
    if len(span) < w:
        return None
    tails = sliding_window_view(span, w)  # row `lost`: what the old voices add after the gap
    covers = sliding_window_view(cov, w) + 1
    best = None
    for name, ref in references.items():
        for d in range(-reach, reach + 1):
            voice = np.zeros(w, dtype=np.int64)
            if d >= 0:
                part = ref[: w - d]
                voice[d : d + len(part)] = part
            else:
                part = ref[-d : -d + w]
                voice[: len(part)] = part
            err = np.abs(after - np.clip(tails + voice, -32768, 32767))
            ok = err <= covers
            run = np.where(ok.all(axis=1), w, np.argmin(ok, axis=1))
            lost = int(np.argmax(run))
            if best is None or run[lost] > best[0]:
                best = (int(run[lost]), lost)
    return best[1] if best is not None and best[0] == w else None


def _next_silence(rec, i, frames=1024):
    """First frame at or after i that starts a run of `frames` exact zeros, or len(rec)."""
    silent = np.concatenate([(rec[i:] == 0).astype(np.int64), [0]])
    edges = np.diff(np.concatenate([[0], silent]))
    starts = np.nonzero(edges == 1)[0]
    ends = np.nonzero(edges == -1)[0]
    for a, e in zip(starts, ends):
        if e - a >= frames:
            return i + int(a)
    return len(rec)


def _recording_frame(frame, dropouts):
    """Frame of the recording for a frame of the stream; a lost frame gives the frame where
    the sound came back after its dropout."""
    for b, zeros, lost in reversed(dropouts):  # each in the stream left by the earlier ones
        if frame >= b + lost:
            frame += zeros - lost
        elif frame >= b:
            frame = b + zeros
    return frame


def _first_audible(ref):
    loud = np.nonzero(np.abs(ref) > 1)[0]
    return int(loud[0]) if len(loud) else 0


def _cut(model_part, cover_part, o, name, sounding, references):
    """Removes (from frame o on) what the earlier instance of `name` would still have added:
    a voice played again restarts instead of sounding twice."""
    if name not in sounding:
        return
    s, e = sounding[name]
    if e <= o:
        return
    length = min(len(model_part), e - o)
    ref = references[name]
    model_part[:length] -= ref[o - s : o - s + length]
    cover_part[:length] -= 1

