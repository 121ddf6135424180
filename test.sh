#!/usr/bin/env bash
# Builds everything and runs every test: first the normal build, then the
# whole suite again built with AddressSanitizer and UndefinedBehaviorSanitizer,
# where any report fails the run. QUILLAN_SANITIZERS=0 skips the second pass.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/packages.sh
bash scripts/ensure-packages.sh "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

build=${QUILLAN_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build"
QT_QPA_PLATFORM=offscreen ctest --test-dir "$build" --output-on-failure -j2

if [ "${QUILLAN_SANITIZERS:-1}" != 0 ]; then
  asan=${build}-asan
  flags="-O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all"
  cmake -S . -B "$asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLAN_BUILD_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
  cmake --build "$asan"
  # The fuzz targets run under both sanitizers in the first pass already.
  QT_QPA_PLATFORM=offscreen \
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  LSAN_OPTIONS="suppressions=$PWD/tests/sanitizers/lsan.supp" \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$asan" --output-on-failure -j2 -LE fuzz
fi

# Windows: cross-built with MinGW and run under Wine (skipped, saying why, where the Qt for Windows is not at hand).
bash scripts/windows-stage.sh

# Debian packages: built, checked by lintian, installed, run and purged.
[ "${QUILLAN_PACKAGE_STAGE:-1}" = 0 ] || bash scripts/package-stage.sh
