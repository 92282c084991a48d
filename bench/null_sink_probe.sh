#!/bin/bash
# Runs audio_latency_probe on a PulseAudio null sink: the period the device gets, the delay
# from a play request to the voice leaving the mixer, and whether the voices played come back
# sample for sample from the sink's monitor. Stops what it starts, by PID.
#   bench/null_sink_probe.sh BUILD_DIR [WORK_DIR]
set -u
PROBE=$1/bench/audio_latency_probe
W=${2:-/tmp/thumpa-null-sink}
rm -rf "$W"; mkdir -p "$W/home" "$W/run/pulse"
export HOME=$W/home XDG_RUNTIME_DIR=$W/run PULSE_SERVER=unix:$W/run/pulse/native
unset SDL_AUDIODRIVER
pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --log-target=stderr \
  -L "module-native-protocol-unix auth-anonymous=1 socket=$W/run/pulse/native" \
  -L "module-null-sink sink_name=ci rate=44100 channels=2" 2>"$W/pulseaudio.log" &
PA=$!
REC=
cleanup() {
  [ -n "$REC" ] && kill -INT "$REC" 2>/dev/null
  kill "$PA" 2>/dev/null
  wait 2>/dev/null
}
trap cleanup EXIT
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
pactl set-default-sink ci

"$PROBE" latency 60
# The monitor of an idle null sink starts delivering about a second after the recorder connects.
parec -d ci.monitor --file-format=wav "$W/rec.wav" &
REC=$!
sleep 1.5
"$PROBE" play "$W/voice.raw" 6
sleep 0.5
kill -INT "$REC"; wait "$REC"; REC=

python3 - "$W/rec.wav" "$W/voice.raw" <<'PY'
import array, sys, wave
w = wave.open(sys.argv[1])
frames = array.array('h', w.readframes(w.getnframes()))
left, right = list(frames[0::2]), list(frames[1::2])
voice = list(array.array('h', open(sys.argv[2], 'rb').read()))
print('recorded frames', len(left), '; both channels equal:', left == right)
head = voice[:32]
onsets = [k for k in range(len(left) - 32) if left[k:k + 32] == head]
print('voice onsets', onsets, 'spacing ms', [round((b - a) / 44.1, 1) for a, b in zip(onsets, onsets[1:])])
for start in onsets:
    n = min(len(voice), len(left) - start)
    bad = [i for i in range(n) if left[start + i] != voice[i]]
    print(' onset', start, ':', n, 'frames compared,', len(bad), 'differ', ('from %d' % bad[0]) if bad else '')
PY
