#!/usr/bin/env bash
# Builds the Debian packages quillan-cli and quillan into build-deb/ (or the
# folder named by QUILLAN_DEB_DIR): a Release build with Debian's own compiler
# and linker flags, hardening included, then CPack.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
bash scripts/ensure-packages.sh "${BUILD_PACKAGES[@]}" dpkg-dev

build=${QUILLAN_DEB_DIR:-build-deb}
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
flags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQUILLAN_BUILD_TESTS=OFF -DQUILLAN_BUILD_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$build"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB)
