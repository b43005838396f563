#!/usr/bin/env bash
# Installs the Debian packages ORVEX needs to build, test and render.
# Idempotent: packages already present are skipped, so a second run is quick.
set -euo pipefail

BUILD_PKGS=(
  build-essential cmake pkg-config ninja-build
  juce-modules-source juce-tools lv2-dev
  libfftw3-dev libopenblas-dev
  libasound2-dev libfreetype-dev libx11-dev libxext-dev libxinerama-dev libxrandr-dev libxcursor-dev
  libgl-dev libpng-dev libjpeg-dev zlib1g-dev libflac-dev libvorbis-dev libogg-dev
)
TEST_PKGS=(
  libgtest-dev
  lilv-utils jalv jackd2 xvfb xauth flac sox
  clang libclang-rt-14-dev
  fluidsynth fluid-soundfont-gm timgm6mb-soundfont
  python3-numpy python3-scipy
)

want=("${BUILD_PKGS[@]}")
if [[ "${1:-}" == "--tests" ]]; then want+=("${TEST_PKGS[@]}"); fi

missing=()
for p in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  SUDO=""
  if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
