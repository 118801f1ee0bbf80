#!/usr/bin/env bash
# Installs what building and testing Morvi needs, but only what is missing (Debian, as root or
# with sudo). Extra package names may be passed as arguments.
set -euo pipefail

packages=(g++ cmake make pkg-config libopencv-dev libopencv-contrib-dev libpng-dev libgtest-dev opencv-doc
          python3-dev pybind11-dev python3-numpy python3-pytest python3-opencv "$@")
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} > 0)); then
  echo "Installing: ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}" </dev/null
fi
