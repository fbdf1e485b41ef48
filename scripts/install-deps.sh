#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the benchmarks need.
# Idempotent: packages already present are left alone. As root it runs apt-get itself;
# otherwise it prints the exact command to run.
set -euo pipefail

packages=(
  # build
  build-essential cmake pkg-config
  libssl-dev libsqlcipher-dev sqlcipher nlohmann-json3-dev libcli11-dev
  libsecret-1-dev libglib2.0-dev libsystemd-dev libasio-dev
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev
  libxcb1-dev libxcb-shm0-dev libxcb-randr0-dev libxcb-xfixes0-dev libxcb-damage0-dev
  libpulse-dev libcurl4-openssl-dev libicu-dev
  libtesseract-dev tesseract-ocr-eng
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-cryptography
  dbus dbus-bin dbus-daemon gnome-keyring libglib2.0-bin
  ffmpeg libcpp-httplib-dev openssl
  xvfb xserver-xorg-core xserver-xorg-video-dummy openbox xterm xdotool x11-utils
  x11-xserver-utils fonts-dejavu-core
  pulseaudio pulseaudio-utils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

cmd=(apt-get install -y --no-install-recommends "${missing[@]}")
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}"
  echo "run as root:  apt-get update && ${cmd[*]}"
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
"${cmd[@]}"
