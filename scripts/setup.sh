#!/usr/bin/env bash
# Installs every Debian package the project builds, runs and tests with.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev
  jackd2 libjack-jackd2-dev
  # the desktop's sound server (the library; the daemon, its tools and the
  # session manager are used by the tests only) and ALSA's default device
  libpipewire-0.3-dev pipewire pipewire-bin wireplumber libasound2-dev
  libsndfile1-dev libsoxr-dev libfftw3-dev libsqlite3-dev nlohmann-json3-dev
  libmysofa-dev libmysofa1 liblilv-dev lv2-dev libsuil-dev libtag1-dev
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev
  libx11-dev libxtst-dev libxi-dev libxrandr-dev libatspi2.0-dev libfmt-dev libhttp-parser-dev
  at-spi2-core dbus-daemon
  xvfb xauth libgtest-dev libgmock-dev libbenchmark-dev
  # used by the tests only: loudness oracle, corpus rendering (two General
  # MIDI fonts), peers
  libebur128-dev sox ffmpeg aubio-tools fluidsynth timgm6mb-soundfont fluidr3mono-gm-soundfont
  # the downloader of copied links (it runs ffmpeg)
  yt-dlp
  # the file manager's D-Bus interface and its fallback (a private bus in tests)
  dbus-daemon dbus-bin xdg-utils
  # used by the tests only: a program and a browser asking the control port
  curl chromium-headless-shell
  # used by the tests only: locale sources, to write numbers under a decimal comma
  locales
  # used by the tests only: a desktop to follow a file manager on
  openbox thunar xfconf xdotool x11-utils
  # used by the tests only: the other file managers followed, and the bridge
  # that puts GTK 2 programs (PCManFM) on the accessibility bus
  nautilus nemo caja dolphin pcmanfm pcmanfm-qt libatk-adaptor
  # the desktop file's check; used by the tests only: a real system tray and the clipboard
  desktop-file-utils tint2 xclip
  # used by the tests only: the AppStream file's check
  appstream
  # used by the tests only: the clang build and the fuzz harnesses
  clang-14 libfuzzer-14-dev libclang-rt-14-dev
  # used by the benchmarks only: the catalog's statements run bare, as the floor
  sqlite3
  # used by the tests and benchmarks only: an installed LV2 plug-in and the reference host
  swh-lv2 jalv
  # used by the tests and benchmarks only: convolvers that need the LV2 worker (room correction)
  x42-plugins
  # used by the benchmarks only: a plain JACK file player, the player's start-latency peer
  sndfile-tools
)

missing=()
for p in "${packages[@]}"; do
  [[ $p == \#* ]] && continue
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
