#!/usr/bin/env bash
# quillan1 as users run it: its windows on screen (a private Xvfb with openbox),
# driven through its own buttons, Save/Open dialogs and boxes, against
# quillan-simterm in its own process; beside it, in the same run, the bare
# blocking loop (quillan-bareloop) in its own process against its own
# simulator, and the same dialogue on Qt's event loop alone (quillan-qtloop).
# Turnarounds come from the simulator's --timings file. Prints a
# Markdown section (stdout and --out).
#
#   bench/window.sh [--build DIR] [--out FILE] [--count N] [--rate-count N] [--runs N]
#                   [--dir DIR] [--shots DIR] [--label TEXT] [--cli PATH]
#
# --build       build folder with quillan1, quillan-simterm, quillan-bareloop,
#               quillan-qtloop and quillan-timings (default: build-bench)
# --count       records uploaded and lines downloaded for the turnarounds (default 3000)
# --rate-count  records and lines for the rates at 115200 baud (default 600)
# --runs        runs of each program, alternating, pooled (default 1); the rates too
# --dir         disk-backed folder for the transfer files (default: <build>/window-work)
# --shots       folder for the screenshots (default: <build>/window-shots)
# --label       words for the heading, e.g. "before the display change"
# --cli PATH    also measure a command-line PC program run as
#               "PATH upload|download -p DEVICE FILE" (it needs no X)
# --out         report file (default: <build>/window-results.md)
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
. "$here/xsession.sh"
cmdline=$(quoted_command bench/window.sh "$@")
build="$here/../build-bench"
out="" dir="" shots="" label="" cli=""
count=3000 rate_count=600 runs=1 size=40
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$2"; shift ;;
    --out) out="$2"; shift ;;
    --count) count="$2"; shift ;;
    --rate-count) rate_count="$2"; shift ;;
    --runs) runs="$2"; shift ;;
    --dir) dir="$2"; shift ;;
    --shots) shots="$2"; shift ;;
    --label) label="$2"; shift ;;
    --cli) cli="$2"; shift ;;
    -h|--help) sed -n '2,22p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 1 ;;
  esac
  shift
done
positive_counts "counts must be positive whole numbers" "$count" "$rate_count" "$runs"
build=$(cd "$build" && pwd)
program="$build/quillan1" simterm="$build/quillan-simterm"
bareloop="$build/quillan-bareloop" qtloop="$build/quillan-qtloop" timings_tool="$build/quillan-timings"
built "$program" "$simterm" "$bareloop" "$qtloop" "$timings_tool"
if [ -n "$cli" ]; then
  cli=$(cd "$(dirname "$cli")" && pwd)/$(basename "$cli")
  [ -x "$cli" ] || { echo "no $cli" >&2; exit 1; }
fi
caption=${QUILLAN_CAPTION:-DazuzodeRozevidu}   # quillan1's main window
[ -n "$dir" ] || dir="$build/window-work"
[ -n "$shots" ] || shots="$build/window-shots"
[ -n "$out" ] || out="$build/window-results.md"
mkdir -p "$dir" "$shots"
dir=$(cd "$dir" && pwd) shots=$(cd "$shots" && pwd)
# No dot in the folder's name: the Save dialog must not see one before ".txt".
work=$(mktemp -d "$dir/run-XXXXXX")
log="$work/log"
: >"$log"
bound_s=900

app=""
cleanup() {
  [ -z "$app" ] || kill "$app" 2>/dev/null || true
  stop_background
  [ -z "$app" ] || wait "$app" 2>/dev/null || true
  app=""
  x_stop
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
  {
    echo "window.sh FAILED at $(date +%T): $*"
    echo "--- quillan1 output"; cat "$work/app.log" 2>/dev/null || true
    echo "--- simulator stderr"; cat "$work/sim-$sim_name.err" 2>/dev/null || true
    echo "--- log"; tail -n 20 "$log" 2>/dev/null || true
    if [ -n "${DISPLAY:-}" ]; then
      echo "--- windows on screen"; windows_on_screen
      import -window root "$shots/window-failure.png" 2>/dev/null && echo "screenshot: $shots/window-failure.png"
    fi
  } 2>&1 | tee "$shots/window-failure.log" >&2
  exit 1
}

# ---------------------------------------------------------------------------
# quillan1 as a PC program for measure (common.sh): driven through its
# windows. Another program is measured by adding a function pc_NAME and a
# name to `programs` below.

# Screenshots while an upload runs (set by the caller for one run only).
shots_during=""

quit_quillan1() {
  local main=$1
  if focus "$main"; then
    xdotool key alt+q
    for _ in $(seq 100); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
  fi
  if kill -0 "$app" 2>/dev/null; then
    echo "quillan1 did not end on QUIT; killed" >>"$log"
    kill "$app" 2>/dev/null || true
  fi
  wait "$app" 2>/dev/null || true
  app=""
}

# While a transfer runs nothing here talks to the X server (a search for a
# window every tenth of a second would compete with quillan1's repaints for
# the server and the CPUs): the simulator's end (it exits on DONE or OVER,
# which quillan1 sends before its box) says when to look again.
sim_ended() {
  for _ in $(seq "$1"); do kill -0 "$sim" 2>/dev/null || return 0; sleep 0.1; done
  return 1
}

pc_quillan1() {
  local direction=$1 device=$2 file=$3 main w
  # Generous bound for the whole transfer: ten times a slow upload's pace.
  local tenths=$(( (count > rate_count ? count : rate_count) * 10 / 20 + 600 ))
  QUILLAN_COM1="$device" QT_QPA_PLATFORM=xcb "$program" >"$work/app.log" 2>&1 &
  app=$!
  main=$(wait_window "$caption") || fail "quillan1's main window \"$caption\" did not appear"
  focus "$main" || fail "the main window did not get the focus"
  if [ "$direction" = upload ]; then
    xdotool key alt+u
    w=$(wait_window "Upload from terminal") || fail "no Upload window"
    focus "$w" || fail "the Upload window did not get the focus"
    xdotool key alt+s
    w=$(wait_window "Save Files") || fail "no Save dialog"
    focus "$w" || fail "the Save dialog did not get the focus"
    xdotool type --delay 10 "$file"
    xdotool key Return
    if [ -n "$shots_during" ]; then
      progress_shots "$file"
    else
      sim_ended "$tenths" || fail "the upload did not end"
    fi
    w=$(wait_window Information) || fail "no \"records received\" box at the end of the upload"
    focus "$w" || fail "the box did not get the focus"
    [ -z "$shots_during" ] || { sleep 0.3; import -window root "$shots/window-3-upload-box.png"; }
    xdotool key Return
    wait_gone Information || fail "the box did not close"
  else
    xdotool key alt+d
    w=$(wait_window "DownLoad to terminal") || fail "no DownLoad window"
    focus "$w" || fail "the DownLoad window did not get the focus"
    xdotool key alt+s
    w=$(wait_window "Open download file") || fail "no Open dialog"
    focus "$w" || fail "the Open dialog did not get the focus"
    xdotool type --delay 10 "$file"
    xdotool key Return
    wait_gone "Open download file" || fail "the Open dialog did not close"
    # No box at the end: the window shows "Over !!"; the simulator ends on OVER.
    sim_ended "$tenths" || fail "the download did not end"
    [ -z "$shots_during" ] || { sleep 0.3; import -window root "$shots/window-4-download-over.png"; }
  fi
  quit_quillan1 "$main"
}

# Two pictures of the screen while the upload runs, a few hundred records apart.
shot_counts=()
progress_shots() {
  local file=$1 at k=1
  shot_counts=()
  for at in $((shots_during / 4)) $((shots_during * 3 / 4)); do
    for _ in $(seq 300); do [ "$(lines_in "$file")" -ge "$at" ] && break; sleep 0.02; done
    shot_counts+=("$(lines_in "$file")")
    import -window root "$shots/window-$k-upload-running.png" || fail "screenshot"
    k=$((k + 1))
  done
}

# ---------------------------------------------------------------------------
programs=(quillan1 bareloop qtloop)
[ -z "$cli" ] || programs+=(cli)
declare -A title=([quillan1]="quillan1, window on screen" [bareloop]="bare loop (quillan-bareloop)"
                  [qtloop]="Qt event loop alone (quillan-qtloop)" [cli]="$(basename "${cli:-cli}")")

start=$(date +%s)
x_start
input="$work/download.txt"
rate_input="$work/download-rate.txt"
make_input "$count" "$size" "$input"
make_input "$rate_count" "$size" "$rate_input"

# 1. Screenshots (and warm-up: the first start of quillan1 loads Qt from
#    disk): a paced upload and a short download, not measured.
shots_during=$(( rate_count < 400 ? rate_count : 400 ))
rm -f "$shots"/window-[0-9]-*.png
measure quillan1 upload "$work/shots.txt" "$work/t-shots.txt" --records-count "$shots_during" --record-size "$size" --baud 115200
head -n 200 "$rate_input" >"$work/shots-down.txt"
measure quillan1 download "$work/shots-down.txt" "$work/t-shots-down.txt" --baud 115200
shots_during=""
shot1="$shots/window-1-upload-running.png" shot2="$shots/window-2-upload-running.png"
[ -s "$shot1" ] && [ -s "$shot2" ] || fail "no screenshots of the running upload"
shot_changed="they differ"
cmp -s "$shot1" "$shot2" && shot_changed="they are identical (the window did not change)"

report_begin "$out"
echo "## quillan1 with its window on screen against a bare loop${label:+ ($label)}: run of $(date -u '+%Y-%m-%d %H:%M UTC')"
echo
report_machine "$cmdline" || echo "- Source: ${src:-?} (not a git checkout)"
fs=$(df -T "$work" | awk 'NR==2 {print $1" "$2}')
echo "- Transfer files: $dir on $fs"
echo "- Display: Xvfb $DISPLAY 1024x768x24 with openbox; quillan1 driven with xdotool through its main window's"
echo "  Upload/Download buttons, the transfer window's Start, the Save/Open dialog and the end box"
echo "- Each program in its own process against its own \`quillan-simterm --timings\`; turnarounds on the"
echo "  simulator's clock: record's CR written → first byte of REMOVE, NEXT's CR → first byte of READ,"
echo "  ACK's CR → first byte of the next line (nearest-rank median and p90; p99 in brackets)"
echo "- CPU pressure: share of each program's run (start to end, window handling included) in which some"
echo "  task on the machine waited for a CPU (/proc/pressure/cpu); above a few per cent the figures are disturbed"
echo "- Screenshots of the screen during an unmeasured upload at 115200 baud, taken when ${shot_counts[0]} and"
echo "  ${shot_counts[1]} records were in the file: $shot_changed (\`$shots\`; also the end box and \"Over !!\")"
echo

# 2. Turnarounds, unpaced.
echo "### Turnarounds: $count records of $size bytes uploaded, a $count-line file downloaded, no pacing$([ "$runs" -gt 1 ] && echo ", $runs runs of each pooled")"
load
transfer_rounds "" "$count" "$size" "$input" "$runs"
echo
turnaround_table
for p in "${programs[@]}"; do
  case $p in bareloop | qtloop) continue ;; esac
  for base in bareloop qtloop; do
    echo "| ratio ${title[$p]} / ${title[$base]%% (*} (medians) | **$(ratio "${fig[up-$p.record_remove_median]}" "${fig[up-$base.record_remove_median]}")** |" \
      "| **$(ratio "${fig[up-$p.next_read_median]}" "${fig[up-$base.next_read_median]}")** |" \
      "| **$(ratio "${fig[down-$p.ack_line_median]}" "${fig[down-$base.ack_line_median]}")** | | | |"
  done
done
echo
echo "Whole transfers (first READ to the READ after the last NEXT; first line to OVER), for scale:"
whole_transfers

# 3. Rates at 115200 baud, paced by the simulator.
echo
echo "### At 115200 baud (paced by the simulator): $rate_count records of $size bytes, $rate_count lines of $size bytes$([ "$runs" -gt 1 ] && echo ", $runs runs of each pooled")"
load
transfer_rounds rate- "$rate_count" "$size" "$rate_input" "$runs" --baud 115200
up_line=$(awk -v s="$size" 'BEGIN { printf "%.1f", 115200 / 10 / (5 + s + 1 + 7 + 5) }')
down_line=$(awk -v s="$size" 'BEGIN { printf "%.1f", 115200 / 10 / (s + 1 + 4) }')
echo
echo "| PC program | upload records/s | of the line's $up_line | download lines/s | of the line's $down_line | CPU pressure up / down |"
echo "|---|---|---|---|---|---|"
for p in "${programs[@]}"; do
  awk -v who="${title[$p]}" -v u="${fig[rate-up-$p.rate]}" -v d="${fig[rate-down-$p.rate]}" -v lu="$up_line" -v ld="$down_line" \
      -v pu="$(pressure_of "$work"/t-rate-up-"$p"-*.txt)" -v pd="$(pressure_of "$work"/t-rate-down-"$p"-*.txt)" \
    'BEGIN { printf "| %s | %.1f | %.1f %% | %.1f | %.1f %% | %s / %s |\n", who, u, 100 * u / lu, d, 100 * d / ld, pu, pd }'
done

echo
echo "_Whole run: $(( $(date +%s) - start )) s. Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)._"
report_end
echo "report: $out; screenshots: $shots" >&2
