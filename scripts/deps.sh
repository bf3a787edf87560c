#!/usr/bin/env bash
# Installs the Debian packages Mirabo needs to build, run and test, only when some are missing.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev
  libvmime-dev libgnutls28-dev libcurl4-openssl-dev libjpeg-dev
  # run
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
  gstreamer1.0-libav fonts-liberation ca-certificates
  # test
  ffmpeg gstreamer1.0-tools python3 python3-aiosmtpd openssl
  # install and package
  desktop-file-utils appstream dpkg-dev file
  # bench
  curl
)

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
