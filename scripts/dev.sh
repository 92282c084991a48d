#!/usr/bin/env bash
# Sets up, builds, runs and tests Thumpa on Debian 12.
#   scripts/dev.sh run    install what is missing, build, start Thumpa
#   scripts/dev.sh test   install what is missing, build, run every test (normal and
#                         sanitizer builds), then the end-to-end test of the desktop program on
#                         a private X server and each sound server, then its load runs
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  build-essential cmake pkg-config ninja-build
  libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
  qt6-base-dev libsdl2-dev libpipewire-0.3-dev libpulse-dev libdbus-1-dev
  # the JACK client and the MIDI input beside the desktop servers (resampled with libsamplerate)
  libjack-jackd2-dev libasound2-dev
  libsndfile1-dev clang libclang-rt-14-dev
  desktop-file-utils appstream shared-mime-info
  # the package's manual pages (made from --help) and Debian's checks of the package
  help2man lintian man-db
  # slowed connects for the double-start test
  strace
  # the LV2 plugin, its checks and its host test; jalv and JACK for its end-to-end test
  lv2-dev sordi liblilv-dev lilv-utils libsamplerate0-dev jalv jackd2 python3-jack-client
  # jalv.qt5 embeds an X11 plugin window only with the Qt 5 X11 extras
  libqt5x11extras5
  # the end-to-end test: X server, sound server, input, screenshots, OCR, analysis
  xvfb xdotool pulseaudio pulseaudio-utils imagemagick tesseract-ocr tesseract-ocr-eng
  # a private PipeWire session beside it (never pipewire-alsa or
  # pipewire-audio-client-libraries: they make apt remove pulseaudio)
  pipewire pipewire-pulse wireplumber pipewire-bin dbus
  # PipeWire's JACK server (pw-jack), for the JACK client's rate-change test
  pipewire-jack
  python3 python3-numpy python3-xlib
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_missing() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# build DIR [cmake options...]
build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}

# The end-to-end test (label e2e) and its load runs (label load) run on their own at the end:
# they measure timing.
run_tests() {
  local dir=$1
  ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" -LE '^(e2e|load)$'
}

case "${1:-}" in
  run)
    install_missing
    build build
    exec build/app/thumpa
    ;;
  test)
    install_missing
    build build
    run_tests build
    echo "== sanitizer build (ASan + UBSan)"
    build build-asan -DTHUMPA_SANITIZE=ON -DTHUMPA_BENCH=OFF
    run_tests build-asan
    echo "== thread sanitizer build: the mixer and the metronome across threads"
    cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Release -DTHUMPA_TSAN=ON \
      -DTHUMPA_GUI=OFF -DTHUMPA_BENCH=OFF >/dev/null
    cmake --build build-tsan -j "$(nproc)" --target audio_tests
    ctest --test-dir build-tsan --output-on-failure -R '^(Mixer|MixerThreads|MixerTiming|Metronome|SoundDevice)\.'
    # The end-to-end runs measure timing on real sound servers. Each runs beside a watch on the
    # machine (tests/support/realtime_guard.py) that notes when it held a real-time thread back:
    # a try whose every failure is a sound off its time during such a stall is tried again once,
    # then skipped with a line that says so; any other failure (a wrong sample, a crash, missing
    # output, a timing failure with no stall then) fails at once. The runs whose claim is
    # exactness (JACK on jackd and PipeWire, jalv) run their notes in freewheel, where no stall
    # can break them.
    echo "== end-to-end test on each sound server (log, figures, screenshot in build/tests/e2e/output-*)"
    ctest --test-dir build --output-on-failure -L '^e2e$'
    grep -h '^realtime_guard:' build/Testing/Temporary/LastTest.log || true
    echo "== load runs beside a CPU hog (figures in build/tests/e2e/load-*)"
    ctest --test-dir build --output-on-failure -L '^load$'
    grep -h '^realtime_guard:' build/Testing/Temporary/LastTest.log || true
    ;;
  *)
    echo "usage: $0 run|test" >&2
    exit 2
    ;;
esac
