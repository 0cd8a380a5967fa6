#!/usr/bin/env bash
# Installs the Debian packages vxrdeck needs, and only those that are missing.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config make ccache
  libgtest-dev libgmock-dev
  qt6-base-dev qt6-multimedia-dev libqt6opengl6-dev
  qt6-base-private-dev  # the tests change the offscreen platform's screens while running
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev
  libsrt-gnutls-dev  # the program stream's SRT listener (the library FFmpeg loads)
  socat
  ffmpeg  # ffprobe reads the program stream's timecodes in the stream tests
  libboost1.81-dev  # the web server (Boost.Beast, Asio, JSON; header-only as used)
  python3-prometheus-client  # the metrics test reads /metrics with its parser
  chromium chromium-driver python3-selenium  # the page's test in a real browser
  pulseaudio pulseaudio-utils  # the sound output's test starts a sound server of its own
  dpkg-dev file lintian desktop-file-utils man-db
  clang libclang-rt-14-dev clang-format
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "Installing missing packages: ${missing[*]}"
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
  sudo_cmd=(sudo)
fi
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
