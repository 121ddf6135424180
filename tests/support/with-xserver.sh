#!/usr/bin/env bash
# Runs a command against a fresh Xvfb server with a window manager, and stops
# both afterwards. The server picks a free display itself (-displayfd), and the
# command starts only once the server answers, so parallel runs do not race.
# Usage: with-xserver.sh <command> [args...]
set -euo pipefail
for tool in Xvfb xdotool openbox; do
  command -v "$tool" >/dev/null || { echo "$tool is needed for this test" >&2; exit 1; }
done
fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
server=$!
read -r -t 20 number <"$fifo" || { echo "Xvfb did not start" >&2; kill $server 2>/dev/null; exit 1; }
rm -f "$fifo"
export DISPLAY=":$number"
wm=""
cleanup() { [ -n "$wm" ] && kill "$wm" 2>/dev/null; kill "$server" 2>/dev/null; wait 2>/dev/null || true; }
trap cleanup EXIT
for _ in $(seq 100); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.05; done
openbox >/dev/null 2>&1 &
wm=$!
sleep 0.3
unset QT_QPA_PLATFORM
"$@"
