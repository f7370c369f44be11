#!/bin/sh
# Installs every Debian package TapeHarvest needs to build, test and run.
# Run as root (or through sudo) on Debian 12; safe to run again.
set -eu
if [ "$(id -u)" -ne 0 ]; then
  exec sudo "$0" "$@"
fi
export DEBIAN_FRONTEND=noninteractive
packages="build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-multimedia-dev
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libswresample-dev
  libsqlite3-dev libgtest-dev libgmock-dev
  libraw1394-dev libiec61883-dev libavc1394-dev libudev-dev
  xvfb xauth ffmpeg clang libclang-rt-14-dev pulseaudio pulseaudio-utils ccache"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y --no-install-recommends $missing
fi
