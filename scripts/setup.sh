#!/usr/bin/env bash
# Installs what Terravel needs to build, run and test (Debian 12 packages only),
# then configures and builds it into build/. Safe to run again: it installs only what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake g++ make pkg-config
  libcoin-dev libsoqt520-dev libsimage-dev libx11-dev libgdal-dev
  libmeshoptimizer-dev libtinygltf-dev nlohmann-json3-dev zlib1g-dev
  libgtest-dev
  xvfb xdotool imagemagick x11-utils xauth
)
if [ "${TERRAVEL_WANT_CLANG:-0}" = 1 ]; then
  packages+=(clang libclang-rt-14-dev)
fi

scripts/install-packages.sh "${packages[@]}"

# The web page that shows exported tiles, and its browser test: Node.js and its packages from the
# npm registry, and Debian's Chromium.
scripts/setup-web.sh

build_type=${TERRAVEL_BUILD_TYPE:-Release}
cmake -S . -B build -DCMAKE_BUILD_TYPE="$build_type" >/dev/null
cmake --build build -j"$(nproc)"
