#!/bin/bash
# Plays a voice TIMES times (default 6) through a sound server's native client on a private
# server with a null sink, records the sink's monitor, and checks the recording holds every play
# bit for bit on both channels, each starting at the frame it was due. Stops every daemon it
# starts, by PID. Exits 77 (skipped) when programs are missing.
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
PIDS=()
REC=
cleanup() {
  [ -n "$REC" ] && kill -INT "$REC" 2>/dev/null
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do kill "${PIDS[i]}" 2>/dev/null; done
  wait 2>/dev/null
}
trap cleanup EXIT

wait_for_pulse_protocol() {
  for _ in $(seq 100); do pactl info >/dev/null 2>&1 && return 0; sleep 0.1; done
  echo "the server never answered; its log:" >&2; cat "$W"/*.log >&2
  exit 1
}

if [ "$SERVER" = pulse ]; then
  mkdir -p "$W/run/pulse"
  export PULSE_SERVER=unix:$W/run/pulse/native
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --log-target=stderr \
    -L "module-native-protocol-unix auth-anonymous=1 socket=$W/run/pulse/native" \
    -L "module-null-sink sink_name=ci rate=44100 channels=2" 2>"$W/pulseaudio.log" &
  PIDS+=($!)
  wait_for_pulse_protocol
else
  export DBUS_SESSION_BUS_ADDRESS=unix:path=$W/run/bus
  dbus-daemon --session --nofork --address="$DBUS_SESSION_BUS_ADDRESS" 2>"$W/dbus.log" &
  PIDS+=($!)
  for _ in $(seq 50); do [ -S "$W/run/bus" ] && break; sleep 0.1; done
  pipewire 2>"$W/pipewire.log" &
  PIDS+=($!)
  sleep 0.4
  wireplumber 2>"$W/wireplumber.log" &
  PIDS+=($!)
  pipewire-pulse 2>"$W/pipewire-pulse.log" &
  PIDS+=($!)
  wait_for_pulse_protocol
  pactl load-module module-null-sink sink_name=ci rate=44100 channels=2 >/dev/null
  # The graph's own rate and quantum: no resampling, so the recording can be bit-exact.
  pw-metadata -n settings 0 clock.force-rate 44100 >/dev/null
  pw-metadata -n settings 0 clock.force-quantum 256 >/dev/null
fi
pactl set-default-sink ci

# The monitor of an idle null sink starts delivering about a second after the recorder connects;
# small fragments, so that stopping the recorder loses next to nothing of what it heard.
# Real-time priority where allowed, so that a busy machine does not make the recorder lose audio.
RT=()
chrt -f 30 true 2>/dev/null && RT=(chrt -f 30)
"${RT[@]}" parec -d ci.monitor --latency-msec=20 --file-format=wav "$W/rec.wav" &
REC=$!
sleep 1.5
"$PLAYER" "$SERVER" "$W/voice.raw" "$TIMES" >"$W/player.out" &
PLAYER_PID=$!
if [ "$SERVER" = pulse ]; then
  # Stop the client for 100 ms once the sink consumes and before the voice plays: the server
  # runs dry and reports an underflow, after which the target latency must be one period more.
  for _ in $(seq 300); do grep -q '^opened' "$W/player.out" && break; sleep 0.01; done
  sleep 0.6; kill -STOP $PLAYER_PID; sleep 0.1; kill -CONT $PLAYER_PID
fi
wait $PLAYER_PID
status=$?
cat "$W/player.out"
sleep 0.3
kill -INT "$REC"; wait "$REC"; REC=
[ $status -eq 0 ] || { echo "the player failed ($status)" >&2; exit 1; }
if [ "$SERVER" = pulse ]; then
  python3 - "$W/player.out" <<'PY' || exit 1
import re, sys
played = re.search(r'^played:.* period (\d+) frames, latency (\d+) frames.* (\d+) underflows',
                   open(sys.argv[1]).read(), re.M)
period, latency, underflows = map(int, played.groups())
if underflows < 1 or latency != min(2 + underflows, 8) * period:
    sys.exit('after %d underflows the target latency is %d frames' % (underflows, latency))
PY
fi

# How far a play may start from its due frame, relative to the first: PipeWire says when each
# cycle is heard (only rounding remains); the PulseAudio client estimates it from when the
# server asks for frames, which strayed by up to 38 frames on a busy machine. Missing the due
# time altogether would put a play anywhere within a period (256 frames).
[ "$SERVER" = pipewire ] && TOLERANCE=2 || TOLERANCE=88
python3 - "$W/rec.wav" "$W/voice.raw" "$W/player.out" "$TOLERANCE" <<'PY'
import array, re, sys, wave
rec = wave.open(sys.argv[1])
assert (rec.getsampwidth(), rec.getnchannels(), rec.getframerate()) == (2, 2, 44100), rec.getparams()
frames = array.array('h', rec.readframes(rec.getnframes()))
left, right = frames[0::2], frames[1::2]
voice = array.array('h', open(sys.argv[2], 'rb').read())
SPACING_TOLERANCE = int(sys.argv[4])
due = [int(f) for f in re.search(r'^due frames:(.*)$', open(sys.argv[3]).read(), re.M).group(1).split()]
head = voice[:32]
onsets = [k for k in range(len(left) - len(voice) + 1) if left[k:k + 32] == head]
print('recorded', len(left), 'frames; voice onsets at', onsets)
if len(onsets) != len(due):
    sys.exit('expected the voice %d times in the recording' % len(due))
for start in onsets:
    end = start + len(voice)
    if left[start:end] != voice:
        bad = next(i for i in range(len(voice)) if left[start + i] != voice[i])
        sys.exit('the play at %d differs from the voice from its frame %d on' % (start, bad))
    if right[start:end] != voice:
        sys.exit('the right channel differs from the left')
if sum(1 for x in left if x) != len(voice) * len(onsets):
    sys.exit('sound besides the plays')
errors = [(o - onsets[0]) - d for o, d in zip(onsets, due)]
print('every play came back bit for bit on both channels; frames off its due time:', errors)
if max(abs(e) for e in errors) > SPACING_TOLERANCE:
    sys.exit('a play started more than %d frames off its due time' % SPACING_TOLERANCE)
PY
