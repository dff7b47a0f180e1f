#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what the project needs on Debian 12 (only what is missing), then configures and builds.
# Idempotent: a second run with nothing changed installs nothing and rebuilds nothing.
# Usage: scripts/setup.sh [BUILD_DIR] [extra cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  g++ cmake ninja-build pkg-config make
  libbz2-dev bzip2 libdivsufsort-dev libsodium-dev
  libgtk2.0-dev libx11-dev xvfb x11-utils xdotool imagemagick jq
  libgtest-dev googletest
  clang libclang-rt-14-dev strace
  libsodium-dev nlohmann-json3-dev libcurl4-openssl-dev python3 dpkg-dev groff-base lintian
  clang-format-14 ccache
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

BUILD_DIR=${1:-build}
shift || true
if [ ! -f "$BUILD_DIR/build.ninja" ]; then
  cmake -S . -B "$BUILD_DIR" -G Ninja "$@"
fi
cmake --build "$BUILD_DIR"
