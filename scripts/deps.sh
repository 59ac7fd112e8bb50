#!/usr/bin/env bash
# Installs, on Debian, what building and testing tnr_md needs; skips apt-get
# when everything is already there.
set -euo pipefail
pkgs=(cmake ninja-build g++ pkg-config googletest libbenchmark-dev libsimde-dev qemu-user
      g++-arm-linux-gnueabihf g++-aarch64-linux-gnu clang libclang-rt-14-dev
      libavformat-dev libavcodec-dev libswscale-dev libavutil-dev libcli11-dev
      libcairo2-dev libgtest-dev)
pkgs+=(libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools gstreamer1.0-plugins-base)
pkgs+=(pybind11-dev python3-dev python3-numpy python3-pytest python3-av python3-matplotlib)
# The OBS plugin: libobs's SDK; its load test starts libobs on a virtual X
# display (libobs 29 cannot start without one on Linux).
pkgs+=(libobs-dev xvfb xauth)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
