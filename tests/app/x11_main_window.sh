#!/usr/bin/env bash
# The real program in a real X server: the main window's client area is the
# designed 350 x 173 pixels. Screenshots are left for a person to look at.
# Usage: x11_main_window.sh <program> <caption> <screenshot folder>
set -euo pipefail
program=$1 caption=$2 shots=$3
mkdir -p "$shots"
here=$(cd "$(dirname "$0")" && pwd)
inner=$(mktemp)
trap 'rm -f "$inner"' EXIT
cat > "$inner" <<'INNER'
set -euo pipefail
program=$1 caption=$2 shots=$3
QT_QPA_PLATFORM=xcb "$program" >"$shots/$(basename "$program").log" 2>&1 &
app=$!
trap 'kill $app 2>/dev/null || true' EXIT
win=""
for _ in $(seq 100); do
  win=$(xdotool search --onlyvisible --name "^${caption}\$" 2>/dev/null | head -n1) && [ -n "$win" ] && break
  sleep 0.1
done
[ -n "$win" ] || { echo "main window \"$caption\" did not appear"; exit 1; }
sleep 0.5
eval "$(xdotool getwindowgeometry --shell "$win")"
echo "client area: ${WIDTH}x${HEIGHT} at ${X},${Y}"
import -window root "$shots/$(basename "$program")-main.png" 2>/dev/null || true
[ "$WIDTH" = 350 ] && [ "$HEIGHT" = 173 ] || { echo "expected 350x173"; exit 1; }
# Centred on the 1024 x 768 screen, give or take the window frame.
cx=$((X + WIDTH / 2)) cy=$((Y + HEIGHT / 2))
[ $((cx - 512)) -le 8 ] && [ $((512 - cx)) -le 8 ] && [ $((cy - 384)) -le 20 ] && [ $((384 - cy)) -le 20 ] \
  || { echo "not centred: centre at $cx,$cy"; exit 1; }
INNER
"$here/../support/with-xserver.sh" bash "$inner" "$program" "$caption" "$shots"
