#!/usr/bin/env bash
# Builds the program and starts it.
#   ./run.sh            quillan1 on the real ports (COM1 = /dev/ttyS0, COM2 = /dev/ttyS1,
#                       or the devices in QUILLAN_COM1 / QUILLAN_COM2)
#   ./run.sh --demo     quillan1 with COM1 wired to the simulated terminal, which holds
#                       a few sample records and stores what it is sent
#   QUILLAN_PROGRAM=quillan ./run.sh [--demo]   the same for the quillan program
set -euo pipefail
cd "$(dirname "$0")"
source scripts/packages.sh
bash scripts/ensure-packages.sh "${BUILD_PACKAGES[@]}"

build=${QUILLAN_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build"

program="$build/${QUILLAN_PROGRAM:-quillan1}"
if [ "${1:-}" != "--demo" ]; then
  exec "$program"
fi

demo=$(mktemp -d /tmp/quillan-demo.XXXXXX)
"$build/quillan-simterm" --sample --link "$demo/COM1" --store "$demo/downloaded.txt" \
  --transcript "$demo/transcript.txt" > "$demo/terminal.out" 2> "$demo/terminal.err" &
terminal=$!
trap 'kill $terminal 2>/dev/null; wait $terminal 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -L "$demo/COM1" ] && break; sleep 0.1; done
echo "Simulated terminal on COM1 ($(head -n1 "$demo/terminal.out")); lines it receives go to $demo/downloaded.txt" >&2
QUILLAN_COM1="$demo/COM1" "$program"
