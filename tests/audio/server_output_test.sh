#!/bin/bash
# Plays a voice TIMES times (default 6) through a sound server's native client on a private
# server with a null sink and checks the sink's monitor holds every play bit for bit on both
# channels at its due frame, while the client is stopped (an underflow must be counted), the
# PipeWire quantum grows (period and play delay follow) and the server restarts (the client
# plays again within 3 s); the stream reopens many times while it runs; last, with the server
# stopped (SIGSTOP), closing the stream and opening another each end within 1.5 s. Stops its
# daemons by PID; exits 77 (skipped) when programs are missing.
#   server_output_test.sh pulse|pipewire PLAYER WORK_DIR [TIMES]
set -u
SERVER=$1 PLAYER=$2 W=$3 TIMES=${4:-6}

case $SERVER in
  pulse) NEEDED="pulseaudio pactl parec" ;;
  pipewire) NEEDED="dbus-daemon pipewire wireplumber pipewire-pulse pw-metadata pactl parec" ;;
  *) echo "unknown server $SERVER" >&2; exit 2 ;;
esac
for program in $NEEDED python3; do
  if ! command -v "$program" >/dev/null; then
    echo "skipped: $program is not installed"
    exit 77
  fi
done

rm -rf "$W"; mkdir -p "$W/home" "$W/run"; chmod 700 "$W/run"
export HOME=$W/home XDG_RUNTIME_DIR=$W/run
unset PIPEWIRE_REMOTE PULSE_SERVER DBUS_SESSION_BUS_ADDRESS
PIDS=()         # the session's own daemons (D-Bus)
SERVER_PIDS=()  # the sound server's, stopped and started again
REC=
PLAYER_PID=
cleanup() {
  [ -n "$PLAYER_PID" ] && kill "$PLAYER_PID" 2>/dev/null
  [ -n "$REC" ] && kill -INT "$REC" 2>/dev/null
  stop_server
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do kill "${PIDS[i]}" 2>/dev/null; done
  wait 2>/dev/null
}
trap cleanup EXIT

wait_for_pulse_protocol() {
  for _ in $(seq 100); do pactl info >/dev/null 2>&1 && return 0; sleep 0.1; done
  echo "its log:" >&2; cat "$W"/*.log >&2; echo "FAIL: the server never answered"
  exit 1
}

start_server() {
  if [ "$SERVER" = pulse ]; then
    mkdir -p "$W/run/pulse"
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --log-target=stderr \
      -L "module-native-protocol-unix auth-anonymous=1 socket=$W/run/pulse/native" \
      -L "module-null-sink sink_name=ci rate=44100 channels=2" 2>>"$W/pulseaudio.log" &
    SERVER_PIDS+=($!)
    wait_for_pulse_protocol
  else
    pipewire 2>>"$W/pipewire.log" &
    SERVER_PIDS+=($!)
    # The graph's own rate and quantum before anything links: no resampling, so the recording
    # can be bit-exact.
    for _ in $(seq 50); do
      pw-metadata -n settings 0 clock.force-rate 44100 >/dev/null 2>&1 && break; sleep 0.1
    done
    pw-metadata -n settings 0 clock.force-quantum 256 >/dev/null
    wireplumber 2>>"$W/wireplumber.log" &
    SERVER_PIDS+=($!)
    pipewire-pulse 2>>"$W/pipewire-pulse.log" &
    SERVER_PIDS+=($!)
    wait_for_pulse_protocol
    pactl load-module module-null-sink sink_name=ci rate=44100 channels=2 >/dev/null
  fi
  pactl set-default-sink ci
}

stop_server() {
  for ((i = ${#SERVER_PIDS[@]} - 1; i >= 0; i--)); do
    kill -CONT "${SERVER_PIDS[i]}" 2>/dev/null  # it may be stopped
    kill "${SERVER_PIDS[i]}" 2>/dev/null; wait "${SERVER_PIDS[i]}" 2>/dev/null
  done
  SERVER_PIDS=()
}

# The monitor of an idle null sink starts delivering about a second after the recorder connects;
# small fragments, so that stopping the recorder loses next to nothing of what it heard.
# Real-time priority where allowed, so that a busy machine does not make the recorder lose audio.
RT=()
chrt -f 30 true 2>/dev/null && RT=(chrt -f 30)
# Failures are told as "FAIL: ..." or, for a play off its time or a late recovery, as
# "TIMING FAIL <start s> <end s>: ..." over the recording's span of CLOCK_MONOTONIC (see
# tests/support/realtime_guard.py).
mono() { python3 -c 'import time; print("%.6f" % time.monotonic())'; }
fail() { echo "FAIL: $*"; exit 1; }
record() {
  REC_START=$(mono)
  "${RT[@]}" parec -d ci.monitor --latency-msec=20 --file-format=wav "$1" &
  REC=$!
}
stop_recording() { sleep 0.3; kill -INT "$REC"; wait "$REC"; REC=; REC_END=$(mono); }
wait_for_line() {  # PATTERN SECONDS
  for _ in $(seq $(($2 * 100))); do grep -q "$1" "$W/player.out" && return 0; sleep 0.01; done
  echo "the player printed:" >&2; cat "$W/player.out" >&2
  fail "the player never printed '$1'"
}

if [ "$SERVER" = pulse ]; then
  export PULSE_SERVER=unix:$W/run/pulse/native
else
  export DBUS_SESSION_BUS_ADDRESS=unix:path=$W/run/bus
  dbus-daemon --session --nofork --address="$DBUS_SESSION_BUS_ADDRESS" 2>"$W/dbus.log" &
  PIDS+=($!)
  for _ in $(seq 50); do [ -S "$W/run/bus" ] && break; sleep 0.1; done
fi
start_server
record "$W/rec.wav"
sleep 1.5
"$PLAYER" "$SERVER" "$W/voice.raw" "$TIMES" restart >"$W/player.out" 2>"$W/player.err" &
PLAYER_PID=$!
# Stop the client once the sink consumes and before the voice plays: the server runs dry.
# PulseAudio reports an underflow, after which the target latency must be larger; PipeWire's
# graph runs a few cycles without the stream's buffers, which it must count.
wait_for_line '^opened' 3
sleep 0.6; kill -STOP $PLAYER_PID
[ "$SERVER" = pulse ] && sleep 0.1 || sleep 0.2
kill -CONT $PLAYER_PID
if [ "$SERVER" = pipewire ]; then
  # Four times the quantum between two plays, right after one was asked for.
  wait_for_line '^play 2 ' 5
  pw-metadata -n settings 0 clock.force-quantum 1024 >/dev/null
fi
wait_for_line '^played:' 10
stop_recording
FIRST_SPAN="$REC_START $REC_END"

# The server killed and started again on the same runtime folder.
stop_server
sleep 1
BACK=$EPOCHREALTIME  # counted from the start of the server's programs
start_server
record "$W/rec-again.wav"
# Plays again half a second after the recording grows: a starting monitor may change latency.
for _ in $(seq 500); do
  [ "$(stat -c %s "$W/rec-again.wav" 2>/dev/null || echo 0)" -gt 20000 ] && break; sleep 0.01
done
sleep 0.5
kill -USR1 $PLAYER_PID
wait $PLAYER_PID
status=$?
PLAYER_PID=
cat "$W/player.out"
stop_recording
[ $status -eq 0 ] || { cat "$W/player.err"; fail "the player failed ($status)"; }
[ "$(grep -c 'went away' "$W/player.err")" = 1 ] || fail "the loss not said once"

python3 - "$SERVER" "$W/player.out" "$BACK" "$REC_START $REC_END" <<'PY' || exit 1
import re, sys, time
server, out, back_ns = sys.argv[1], open(sys.argv[2]).read(), int(sys.argv[3].replace('.', '')) * 1000
def fail(text):
    sys.exit('FAIL: ' + text)
def figures(when):
    m = re.search(r'^%s: .* period (\d+) frames, latency (\d+) frames, play delay ([\d.]+) ms, '
                  r'(\d+) underflows' % when, out, re.M)
    return int(m[1]), int(m[2]), float(m[3]), int(m[4])
opened, played = figures('opened'), figures('played')
print('opened:', opened, 'played:', played)
if played[3] < 1:
    fail('the client was stopped while the stream ran, and no underflow was counted')
if server == 'pulse' and played[1] != min(2 + played[3], 8) * played[0]:
    fail('after %d underflows the target latency is %d frames' % (played[3], played[1]))
if server == 'pipewire':
    changed = figures('changed')
    if changed[0] != 1024 or played[0] != 1024 or changed[2] < opened[2] + 1024 / 44.1 - 256 / 44.1:
        fail('the period and play delay did not follow the quantum from 256 to 1024')
# A key pressed as soon as the stream runs again sounds one play delay later (the recorded
# plays wait for the test's recorder).
reopened_ns = int(re.search(r'^reopened at (\d+) ns', out, re.M)[1])
sound_ns = reopened_ns + figures('back')[2] * 1e6
print('from the server started again to the stream reopened: %.2f s, to a key sounding: %.2f s'
      % ((reopened_ns - back_ns) / 1e9, (sound_ns - back_ns) / 1e9))
if sound_ns - back_ns > 3e9:
    # The server's start and the stream's reopening, on the monotonic clock: timing.
    to_mono = time.monotonic() - time.time()
    sys.exit('TIMING FAIL %.6f %s: no sound within 3 s of the server being back'
             % (back_ns / 1e9 + to_mono, sys.argv[4].split()[1]))
PY

# How far a play may start from its due frame, relative to the first: PipeWire says when each
# cycle is heard (only rounding remains); the PulseAudio client estimates it from when the
# server asks for frames, which strayed by up to 38 frames on a busy machine. Missing the due
# time altogether would put a play anywhere within a period (256 frames).
[ "$SERVER" = pipewire ] && TOLERANCE=2 || TOLERANCE=88
check_recording() {  # RECORDING LABEL SPAN
  python3 - "$1" "$W/voice.raw" "$W/player.out" "$TOLERANCE" "$2" "$SERVER" "$3" <<'PY'
import array, re, sys, wave
def fail(text):
    sys.exit('FAIL: ' + text)
rec = wave.open(sys.argv[1])
assert (rec.getsampwidth(), rec.getnchannels(), rec.getframerate()) == (2, 2, 44100), rec.getparams()
frames = array.array('h', rec.readframes(rec.getnframes()))
left, right = frames[0::2], frames[1::2]
voice = array.array('h', open(sys.argv[2], 'rb').read())
SPACING_TOLERANCE = int(sys.argv[4])
out = open(sys.argv[3]).read()
due = [int(f) for f in re.search(r'^%s:(.*)$' % sys.argv[5], out, re.M).group(1).split()]
head = voice[:32]
onsets = [k for k in range(len(left) - len(voice) + 1) if left[k:k + 32] == head]
print('recorded', len(left), 'frames; voice onsets at', onsets)
if len(onsets) != len(due):
    fail('expected the voice %d times in the recording' % len(due))
for start in onsets:
    end = start + len(voice)
    if left[start:end] != voice:
        bad = next(i for i in range(len(voice)) if left[start + i] != voice[i])
        fail('the play at %d differs from the voice from its frame %d on' % (start, bad))
    if right[start:end] != voice:
        fail('the right channel differs from the left')
if sum(1 for x in left if x) != len(voice) * len(onsets):
    fail('sound besides the plays')
errors = [(o - onsets[0]) - d for o, d in zip(onsets, due)]
print('every play came back bit for bit on both channels; frames off its due time:', errors)
if sys.argv[6] == 'pipewire':
    # The null sink's own time leaps by whole cycles: at a quantum change (its first long cycle
    # lasts a short one) and at each cycle the graph missed (underflows of a busy machine). A
    # play is exact when it lands on its due frame within the sink's cycles of 256 frames; one
    # due before the next cycle could take it would land anywhere in a cycle.
    leaps = [256 * round(e / 256) for e in errors]
    print('the sink leapt by whole cycles (frames):', leaps)
    errors = [e - leap for e, leap in zip(errors, leaps)]
if sys.argv[6] == 'pulse':
    # A PulseAudio null sink's clock runs up to a few hundred ppm off the steady clock (its rate
    # follows its block size): the offsets less that steady drift.
    n, mx, my = len(due), sum(due) / len(due), sum(errors) / len(errors)
    slope = sum((d - mx) * (e - my) for d, e in zip(due, errors)) / sum((d - mx) ** 2 for d in due)
    print('the sink drifts %.0f ppm' % (slope * 1e6))
    if abs(slope) > 5e-3:
        fail('the plays drift more than a sound card clock would')
    errors = [round(e - my - slope * (d - mx)) for d, e in zip(due, errors)]
    print('less the drift:', errors)
if max(abs(e) for e in errors) > SPACING_TOLERANCE:
    # Exact plays, one off its time: the stream came late while the recording ran.
    sys.exit('TIMING FAIL %s: a play started more than %d frames off its due time'
             % (sys.argv[7], SPACING_TOLERANCE))
PY
}
check_recording "$W/rec.wav" 'due frames' "$FIRST_SPAN" || exit 1
check_recording "$W/rec-again.wav" 'due frames again' "$REC_START $REC_END" || exit 1

# A server that stops answering without closing its socket (stopped, hung): closing the open
# stream and opening again must each end by their deadline, the open failing.
"$PLAYER" "$SERVER" "$W/voice.raw" 1 stall >"$W/player.out" 2>"$W/player.err" &
PLAYER_PID=$!
wait_for_line '^opened' 3
for pid in "${SERVER_PIDS[@]}"; do kill -STOP "$pid"; done
kill -USR1 $PLAYER_PID
wait $PLAYER_PID
status=$?
PLAYER_PID=
for pid in "${SERVER_PIDS[@]}"; do kill -CONT "$pid"; done
cat "$W/player.out"
[ $status -eq 0 ] || { echo "FAIL: closing or opening hung on a stopped server" >&2; cat "$W/player.err"; exit 1; }
