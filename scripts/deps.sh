#!/usr/bin/env bash
# Installs the Debian packages Mirabo needs, only when some are missing.
#   scripts/deps.sh              everything: build, run, test and benchmarks
#   scripts/deps.sh build        what building the program and its package needs
#   scripts/deps.sh build run    ... and what running it needs
set -euo pipefail

declare -A sets=(
  [build]="cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-svg-dev
    libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
    libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev
    libvmime-dev libgnutls28-dev libcurl4-openssl-dev libjpeg-dev
    dpkg-dev file"
  [run]="gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
    gstreamer1.0-libav fonts-liberation ca-certificates qt6-wayland"
  [test]="ffmpeg gstreamer1.0-tools python3 python3-aiosmtpd openssl
    desktop-file-utils appstream lintian weston pulseaudio pulseaudio-utils chromium"
  [bench]="curl"
)

wanted=("$@")
[ ${#wanted[@]} -gt 0 ] || wanted=(build run test bench)
packages=()
for name in "${wanted[@]}"; do
  [ -n "${sets[$name]:-}" ] || { echo "deps.sh: no set '$name' (build, run, test, bench)" >&2; exit 2; }
  packages+=(${sets[$name]})
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
