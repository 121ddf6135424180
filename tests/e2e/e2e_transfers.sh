#!/usr/bin/env bash
# quillan1 as a person uses it, in a private X server: real key presses into
# the real windows, file dialogs and message boxes, against the simulated
# terminal on a pseudo-terminal. Uploads a few records (8-bit bytes among
# them), downloads a file, then quits in the middle of an upload. Screenshots
# are left for a person to look at.
# Usage: e2e_transfers.sh <quillan1> <quillan-simterm> <screenshot folder>
set -euo pipefail
export LC_ALL=C
here=$(cd "$(dirname "$0")" && pwd)
if [ "${1:-}" != --inside ]; then
  exec "$here/../support/with-xserver.sh" bash "$0" --inside "$@"
fi
shift
program=$1 simterm=$2 shots=$3
mkdir -p "$shots"
# No dot in the folder's name, so that a typed name without one gets ".txt".
work=$(mktemp -d "${TMPDIR:-/tmp}/quillan-e2e-XXXXXX")
app="" term="" term2=""
cleanup() {
  for p in $app $term $term2; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAILED: $*"
  echo "--- quillan1 output"; cat "$work/app.log" 2>/dev/null || true
  for t in term term2; do
    [ -e "$work/$t.err" ] || continue
    echo "--- $t stderr"; cat "$work/$t.err"
    echo "--- $t transcript (last 40 lines)"; tail -n 40 "$work/$t-transcript.txt" 2>/dev/null || true
  done
  echo "--- windows on screen"
  for w in $(xdotool search --onlyvisible --name . 2>/dev/null); do echo "$w $(xdotool getwindowname "$w" 2>/dev/null)"; done
  import -window root "$shots/e2e-failure.png" 2>/dev/null || true
  exit 1
}

# Bounded polls in tenths of a second: nothing here may wait for ever.
visible() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1; }
wait_window() {
  local title=$1 tenths=${2:-100} w=""
  for _ in $(seq "$tenths"); do
    w=$(visible "$title") && [ -n "$w" ] && { echo "$w"; return 0; }
    sleep 0.1
  done
  fail "window \"$title\" did not appear"
}
wait_gone() {
  local title=$1 tenths=${2:-100}
  for _ in $(seq "$tenths"); do
    [ -z "$(visible "$title")" ] && return 0
    sleep 0.1
  done
  fail "window \"$title\" did not go away"
}
# Keys go to whichever window has the focus: make sure it is the right one.
focus() {
  local w=$1
  for i in $(seq 50); do
    [ "$(xdotool getactivewindow 2>/dev/null)" = "$w" ] && return 0
    [ $((i % 10)) = 1 ] && xdotool windowactivate "$w" 2>/dev/null || true
    sleep 0.1
  done
  fail "window $w ($(xdotool getwindowname "$w" 2>/dev/null)) did not get the focus"
}
# Settles the last repaint before the picture is taken.
shot() { sleep 0.3; import -window root "$shots/e2e-$1.png" || fail "screenshot $1"; }
wait_file_equals() {
  local file=$1 expected=$2 tenths=${3:-200}
  for _ in $(seq "$tenths"); do
    [ -e "$file" ] && cmp -s "$file" "$expected" && return 0
    sleep 0.1
  done
  echo "expected:"; od -c "$expected" | head -20
  echo "found:"; od -c "$file" 2>/dev/null | head -20
  fail "$file does not hold what was expected"
}
# One direction of a transcript as raw bytes: the hex field of each line.
stream() {
  awk -v dir="$2" '{ i = index($0, "  "); n = split(substr($0, 1, i - 1), f, " ");
                     if (f[2] == dir) for (k = 3; k <= n; ++k) printf "%s", f[k] }' "$1" | xxd -r -p
}
# Complete lines in a file (none when it is not there yet).
lines_in() { if [ -e "$1" ]; then tr -cd "\\n" <"$1" | wc -c; else echo 0; fi; }
start_terminal() {
  local name=$1; shift
  "$simterm" --link "$work/$name-device" --transcript "$work/$name-transcript.txt" --timeout-s 300 "$@" \
    >"$work/$name.out" 2>"$work/$name.err" &
  eval "$name=\$!"
  for _ in $(seq 100); do [ -e "$work/$name-device" ] && return 0; sleep 0.05; done
  fail "simulated terminal $name did not start"
}

# The terminal's records: CR LF after each, bytes above 127 in some.
printf 'ART-0001;Widget;12\r\nCaf\351 cr\350me br\373l\351e;3\r\n\200\201\376\377 edge bytes;1\r\nLast record;\244\r\n' \
  >"$work/records.txt"
# A file to download, 8-bit bytes too.
printf 'LINE-1;Gr\374\337e\r\nLINE-2;\341\351\355\363\372\r\nLINE-3;plain\r\n\261\262\263;end\r\n' >"$work/download.txt"
start_terminal term --records "$work/records.txt" --store "$work/store.txt"

# A second, slow terminal with many records on COM2, for quitting mid-upload.
: >"$work/many.txt"
for i in $(seq 1 400); do printf 'REC-%04d;\351\377;%s\r\n' "$i" "$((i * 7))" >>"$work/many.txt"; done
start_terminal term2 --records "$work/many.txt" --delay-ms 5

QUILLAN_COM1="$work/term-device" QUILLAN_COM2="$work/term2-device" QT_QPA_PLATFORM=xcb \
  "$program" >"$work/app.log" 2>&1 &
app=$!

main=$(wait_window DazuzodeRozevidu)
focus "$main"
shot 01-main

# --- Upload: Alt+U, Start, a name without a dot, Enter, the box, Enter.
xdotool key alt+u
upload=$(wait_window "Upload from terminal")
focus "$upload"
shot 02-upload-window
xdotool key alt+s
dialog=$(wait_window "Save Files")
focus "$dialog"
xdotool type --delay 20 "$work/uploaded"
shot 03-save-dialog
xdotool key Return
box=$(wait_window Information 200)
focus "$box"
shot 04-upload-information
xdotool key Return
wait_gone Information
wait_file_equals "$work/uploaded.txt" "$work/records.txt" 1
focus "$upload"
shot 05-upload-done

# --- Download: back to the main window, Alt+D, Start, the file, Enter.
focus "$main"
xdotool key alt+d
download=$(wait_window "DownLoad to terminal")
focus "$download"
shot 06-download-window
xdotool key alt+s
dialog=$(wait_window "Open download file")
focus "$dialog"
xdotool type --delay 20 "$work/download.txt"
shot 07-open-dialog
xdotool key Return
wait_gone "Open download file"
wait_file_equals "$work/store.txt" "$work/download.txt"
for _ in $(seq 100); do
  stream "$work/term-transcript.txt" PC | tail -c 5 | cmp -s - <(printf 'OVER\r') && break
  sleep 0.1
done
shot 08-download-over

# --- The dialogue, byte for byte in both directions.
{
  printf 'READ\r'
  while IFS= read -r _; do printf 'REMOVE\rREAD\r'; done <"$work/records.txt"
  printf 'DONE\r'
  printf 'DOWN\r'
  sed 's/\r$//' "$work/download.txt" | while IFS= read -r line; do printf '%s\r' "$line"; done
  printf 'OVER\r'
} >"$work/expected-pc"
{
  sed 's/\r$//' "$work/records.txt" | while IFS= read -r rec; do printf '%s\rNEXT\r' "$rec"; done
  printf 'OVER\r'
  printf 'ACK\r'
  while IFS= read -r _; do printf 'ACK\r'; done <"$work/download.txt"
} >"$work/expected-term"
stream "$work/term-transcript.txt" PC >"$work/actual-pc"
stream "$work/term-transcript.txt" TERM >"$work/actual-term"
cmp "$work/actual-pc" "$work/expected-pc" || { od -c "$work/actual-pc" | tail; fail "the PC's side of the dialogue"; }
cmp "$work/actual-term" "$work/expected-term" || { od -c "$work/actual-term" | tail; fail "the terminal's side of the dialogue"; }
echo "upload and download: files and dialogue as expected"

# --- QUIT in the middle of an upload from the slow terminal on COM2.
focus "$main"
xdotool key alt+c
focus "$main"
xdotool key alt+u
upload=$(wait_window "Upload from terminal")
focus "$upload"
xdotool key alt+s
dialog=$(wait_window "Save Files")
focus "$dialog"
xdotool type --delay 20 "$work/interrupted.txt"
xdotool key Return
wait_gone "Save Files"
for _ in $(seq 200); do
  [ "$(lines_in "$work/interrupted.txt")" -ge 30 ] && break
  sleep 0.1
done
[ "$(lines_in "$work/interrupted.txt")" -ge 30 ] || fail "the slow upload did not get going"
shot 09-upload-running
focus "$main"
xdotool key alt+q
for _ in $(seq 100); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
kill -0 "$app" 2>/dev/null && fail "QUIT did not end the program"
status=0; wait "$app" || status=$?
app=""
[ "$status" = 0 ] || fail "quillan1 ended with status $status after QUIT"
kill "$term2"; wait "$term2" || true; term2=""
left=$(sed -n 's/.*: \([0-9]*\) records left.*/\1/p' "$work/term2.err")
[ -n "$left" ] || fail "the slow terminal did not report what it kept"
removed=$((400 - left))
saved=$(lines_in "$work/interrupted.txt")
# Every removed record is in the file, in order and whole; at most one more
# (written, not yet removed) may be there too.
[ "$saved" = "$removed" ] || [ "$saved" = $((removed + 1)) ] \
  || fail "after QUIT: terminal removed $removed records, the file holds $saved"
head -c "$(wc -c <"$work/interrupted.txt")" "$work/many.txt" | cmp - "$work/interrupted.txt" \
  || fail "after QUIT the file is not the terminal's first records"
[ "$(tail -c 2 "$work/interrupted.txt" | od -An -c | tr -d ' ')" = '\r\n' ] || fail "after QUIT the last line is cut"
echo "QUIT mid-upload: terminal removed $removed of 400 records, the file holds $saved"
