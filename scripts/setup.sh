#!/usr/bin/env bash
# Installs the Debian packages the project needs, in two lists:
#   bash scripts/setup.sh          what building and running the program needs
#   bash scripts/setup.sh --tests  that, and what the tests, benchmarks and
#                                  fuzzing add
# `scripts/run.sh` asks for the first, `scripts/test.sh` for both: a user who
# only runs the program gets no test rig (no sound servers, file managers,
# browsers or other compilers). Idempotent: when everything is present it only
# checks and returns.
set -euo pipefail

# Building and running the program.
run_packages=(
  # the compiler and the build
  build-essential cmake ninja-build pkg-config
  # the windows, models, tray and D-Bus calls (moc and rcc are in the tools)
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev
  # sound output: a JACK server's clients, the desktop's PipeWire daemon, ALSA's
  # default device (the program starts no server of its own)
  libjack-jackd2-dev libpipewire-0.3-dev libasound2-dev
  # audio files, resampling, FFTs, the catalog, JSON, tags of non-WAV files
  libsndfile1-dev libsoxr-dev libfftw3-dev libsqlite3-dev nlohmann-json3-dev libtag1-dev
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev
  # binaural rendering: the library and its HRTF set (default.sofa)
  libmysofa-dev libmysofa1
  # plug-in inserts and their windows
  liblilv-dev lv2-dev libsuil-dev
  # following the file manager: X11 windows, key grabs, XTest, the
  # accessibility bus and its daemon
  libx11-dev libxtst-dev libxi-dev libxrandr-dev libatspi2.0-dev at-spi2-core
  # number formatting, the control port's request heads
  libfmt-dev libhttp-parser-dev
  # the downloader of copied links, the ffmpeg it converts with, and the
  # certificates of the sites it reaches
  yt-dlp ffmpeg ca-certificates
  # the file manager's fallback opener
  xdg-utils
)

# What the tests, benchmarks and fuzzing add.
test_packages=(
  # the unit tests and the benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # sound servers of the tests' own: a dummy JACK server, a private PipeWire
  # daemon with its session manager and tools (pw-play, pw-record, pw-cli)
  jackd2 pipewire pipewire-bin wireplumber
  # private session buses, and the desktops the integrations are driven on
  dbus-daemon dbus-bin xvfb xauth openbox x11-utils xdotool xclip tint2
  # the file managers followed (Thunar with its settings daemon), and the bridge
  # that puts GTK 2 programs (PCManFM) on the accessibility bus
  thunar xfconf nautilus nemo caja dolphin pcmanfm pcmanfm-qt libatk-adaptor
  # the loudness oracle, and rendering and judging the analysis corpora: sox,
  # aubio (a peer), fluidsynth with three General MIDI fonts (FluidR3 in mono
  # and in stereo)
  libebur128-dev sox aubio-tools fluidsynth timgm6mb-soundfont fluidr3mono-gm-soundfont fluid-soundfont-gm
  # a program and a browser asking the control port
  curl chromium-headless-shell
  # locale sources, to write numbers under a decimal comma
  locales
  # the desktop entry's and the AppStream file's checks
  desktop-file-utils appstream
  # the clang build and the fuzz harnesses
  clang-14 libfuzzer-14-dev libclang-rt-14-dev
  # the catalog's statements run bare, as the benchmarks' floor
  sqlite3
  # installed LV2 plug-ins, the reference host, and convolvers that need the
  # LV2 worker (room correction)
  swh-lv2 jalv x42-plugins
  # a plain JACK file player, the player's start-latency peer
  sndfile-tools
)

packages=("${run_packages[@]}")
case "${1:-}" in
  --tests) packages+=("${test_packages[@]}") ;;
  "") ;;
  *) echo "usage: $0 [--tests]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
echo "Installing: ${missing[*]}"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
