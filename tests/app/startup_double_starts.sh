#!/usr/bin/env bash
# The real program started twice at once, again and again, plainly and with connects slowed by
# strace: exactly one keeps running, the other hands over and ends with 0; SIGTERM and SIGINT
# close the survivor as File > Exit does. A start during the first's end runs in its place and
# keeps its socket: a third start hands over to it. Every thread but the main one blocks the
# quit signals (checked also on a real X server, where Qt has threads of its own).
# Usage: startup_double_starts.sh THUMPA WORK_FOLDER [PAIRS]
set -euo pipefail
thumpa=$1
work=$2
pairs=${3:-20}
rm -rf "$work"
mkdir -p "$work/run"
chmod 700 "$work/run"
export XDG_RUNTIME_DIR=$work/run HOME=$work QT_QPA_PLATFORM=offscreen THUMPA_AUDIO=sdl \
  SDL_AUDIODRIVER=dummy DISPLAY=:double-start
socket=$work/run/thumpa-_double_start
slow=(strace -f -qq -o /dev/null -e trace=connect -e inject=connect:delay_enter=20000)

started=()
# (strace's tracee would outlive strace: the program goes first)
trap 'for p in "${started[@]}"; do kill -KILL $(pgrep -P "$p" -x thumpa) "$p" 2>/dev/null || true; done' EXIT
fail() { echo "FAIL: $*"; for f in "$work"/*.err; do echo "== $f"; cat "$f"; done; exit 1; }
running() { kill -0 "$1" 2>/dev/null; }
# ends PID: waits at most 10 s for the process to end; its exit status
ends() {
  for _ in $(seq 200); do running "$1" && sleep 0.05; done
  running "$1" && fail "$1 did not end"
  wait "$1"
}
# The program itself, also when strace runs it.
program_of() { pgrep -P "$1" -x thumpa || echo "$1"; }

# start NAME [PREFIX...]: runs the program in the background (where a script's background
# commands would ignore SIGINT, it gets SIGINT's default); its pid in $pid
start() {
  local name=$1; shift
  env --default-signal=INT "$@" "$thumpa" 2>"$work/$name.err" &
  pid=$!
  started+=("$pid")
}

# settle A B: waits until one of the two ended with 0 and the other runs with its socket;
# the survivor's pid in $survivor
settle() {
  local a=$1 b=$2
  for _ in $(seq 200); do
    if ! running "$a" || ! running "$b"; then break; fi
    sleep 0.05
  done
  local ended=$a
  survivor=$b
  if running "$a"; then ended=$b survivor=$a; fi
  running "$survivor" || fail "both starts ended"
  running "$ended" && fail "both starts run: two windows"
  wait "$ended" || fail "the start that handed over ended with $?"
  ready "$survivor"
}

# ready PID: the program runs, with its sound output open and its socket there
ready() {
  for _ in $(seq 100); do
    if grep -q "sound output sdl, " "$work"/*.err 2>/dev/null && [ -S "$socket" ]; then break; fi
    sleep 0.05
  done
  [ -S "$socket" ] || fail "the survivor does not listen"
  sleep 0.2
  running "$1" || fail "the survivor ended"
}

# main_thread_alone PROGRAM: every thread but the main one has SIGTERM and SIGINT blocked
# (SigBlk bits 15 and 2) or ignored by the process, so that neither can interrupt a real-time
# thread
main_thread_alone() {
  local task others=0 blocked ignored
  for task in /proc/"$1"/task/*; do
    [ "${task##*/}" = "$1" ] && continue
    read -r blocked ignored < <(awk '/^SigBlk:/ { b = $2 } /^SigIgn:/ { i = $2 }
      END { print b, i }' "$task/status" 2>/dev/null)
    [ -n "$blocked" ] || continue  # the thread ended meanwhile
    others=$((others + 1))
    (( ((0x$blocked | 0x$ignored) & 0x4002) == 0x4002 )) ||
      fail "thread ${task##*/} takes quit signals (blocked $blocked, ignored $ignored)"
  done
  [ "$others" -gt 0 ] || fail "no thread besides the main one"
}

# quit PID SIGNAL: the program closes as File > Exit does
quit() {
  local pid=$1 signal=$2 program
  program=$(program_of "$pid")
  main_thread_alone "$program"
  kill "-$signal" "$program"
  ends "$pid" || fail "ended by SIG$signal with status $?"
  grep -q "sound output sdl closed" "$work"/*.err || fail "no closing line after SIG$signal"
  [ ! -e "$socket" ] || fail "the socket outlived the program"
}

for kind in plain slowed; do
  prefix=()
  [ "$kind" = slowed ] && prefix=("${slow[@]}")
  for i in $(seq "$pairs"); do
    rm -f "$work"/*.err
    start a "${prefix[@]}"; a=$pid
    start b "${prefix[@]}"; b=$pid
    settle "$a" "$b"
    quit "$survivor" "$([ $((i % 2)) = 0 ] && echo TERM || echo INT)"
  done
  echo "$kind: $pairs double starts, one program each time"
done

# A start while the running program quits waits for it and runs in its place; the first's
# end leaves the second's socket alone, and a third start hands over to the second.
rm -f "$work"/*.err
start first; first=$pid
ready "$first"
kill -TERM "$first"
start second; second=$pid
ends "$first" || fail "the first ended with $?"
rm -f "$work/first.err"
ready "$second"
[ -S "$socket" ] || fail "the first's end removed the second's socket"
start third; third=$pid
ends "$third" || fail "the third start ended with $?"
running "$second" || fail "the third start did not hand over"
quit "$second" TERM
echo "a start during the first's end runs in its place and keeps its socket"

# On a real X server, where Qt starts threads of its own before the program's code runs, every
# thread but the main one blocks the quit signals too. A SIGINT ignored at start (as a script's
# background command has it) stays ignored; SIGTERM still closes the program.
rm -f "$work"/*.err
platform=(QT_QPA_PLATFORM=offscreen)
if command -v Xvfb >/dev/null; then
  Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  xvfb=$!
  started+=("$xvfb")
  for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
  [ -s "$work/display" ] || fail "Xvfb did not start"
  platform=(QT_QPA_PLATFORM=xcb DISPLAY=:$(cat "$work/display"))
  socket=$work/run/thumpa-_$(cat "$work/display")
else
  echo "no Xvfb: the thread check runs on the offscreen platform"
fi
env --ignore-signal=INT "${platform[@]}" "$thumpa" 2>"$work/ignoring.err" &
ignoring=$!
started+=("$ignoring")
ready "$ignoring"
kill -INT "$ignoring"
sleep 0.5
running "$ignoring" || fail "a SIGINT ignored at start ended the program"
quit "$ignoring" TERM
[ -n "${xvfb:-}" ] && { kill "$xvfb"; wait "$xvfb" || true; }
echo "${platform[0]}: every thread but the main one blocks the quit signals; an ignored SIGINT stays so"
