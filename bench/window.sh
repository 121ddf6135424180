#!/usr/bin/env bash
# quillan1 as users run it: its windows on screen (a private Xvfb with openbox),
# driven through its own buttons, Save/Open dialogs and boxes, against
# quillan-simterm in its own process; beside it, in the same run, the bare
# blocking loop (quillan-bareloop) in its own process against its own
# simulator. Turnarounds come from the simulator's --timings file. Prints a
# Markdown section (stdout and --out).
#
#   bench/window.sh [--build DIR] [--out FILE] [--count N] [--rate-count N] [--runs N]
#                   [--dir DIR] [--shots DIR] [--label TEXT] [--cli PATH]
#
# --build       build folder with quillan1, quillan-simterm, quillan-bareloop and
#               quillan-timings (default: build-bench)
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
cmdline="bench/window.sh"
for a in "$@"; do [[ "$a" =~ ^[A-Za-z0-9_./=,:+-]+$ ]] && cmdline+=" $a" || cmdline+=" '$a'"; done
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
for n in "$count" "$rate_count" "$runs"; do
  [[ "$n" =~ ^[1-9][0-9]*$ ]] || { echo "counts must be positive whole numbers" >&2; exit 1; }
done
build=$(cd "$build" && pwd)
program="$build/quillan1" simterm="$build/quillan-simterm"
bareloop="$build/quillan-bareloop" timings_tool="$build/quillan-timings"
for f in "$program" "$simterm" "$bareloop" "$timings_tool"; do
  [ -x "$f" ] || { echo "no $f: build first (cmake --build $build)" >&2; exit 1; }
done
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

. "$here/xsession.sh"

app="" sim="" pc=""
cleanup() {
  local p
  for p in $app $pc $sim; do kill "$p" 2>/dev/null || true; done
  for p in $app $pc $sim; do wait "$p" 2>/dev/null || true; done
  app="" pc="" sim=""
  x_stop
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
  {
    echo "window.sh FAILED at $(date +%T): $*"
    echo "--- quillan1 output"; cat "$work/app.log" 2>/dev/null || true
    echo "--- simulator stderr"; cat "$work/sim.err" 2>/dev/null || true
    echo "--- log"; tail -n 20 "$log" 2>/dev/null || true
    if [ -n "${DISPLAY:-}" ]; then
      echo "--- windows on screen"; windows_on_screen
      import -window root "$shots/window-failure.png" 2>/dev/null && echo "screenshot: $shots/window-failure.png"
    fi
  } 2>&1 | tee "$shots/window-failure.log" >&2
  exit 1
}

# Other work on the machine shows in every figure: say how busy it was.
load() {
  local psi=""
  [ -r /proc/pressure/cpu ] && psi="; CPU pressure (share of time some task waited for a CPU, last 10 s): $(awk '/^some/ {sub("avg10=","",$2); print $2"%"}' /proc/pressure/cpu)"
  echo "_Load average before this section: $(cut -d' ' -f1-3 /proc/loadavg)${psi}_"
}

lines_in() { if [ -e "$1" ]; then tr -cd '\n' <"$1" | wc -c; else echo 0; fi; }

# ---------------------------------------------------------------------------
# PC programs. Each is a function pc_NAME DIRECTION DEVICE FILE that moves the
# records (upload: into FILE) or lines (download: from FILE) over DEVICE and
# returns once its side of the dialogue is over. Another program is measured
# by adding a function and a name to `programs` below.

# A plain command in the background, so that a signal to this script is
# handled at once and the clean-up can end it.
run_bounded() {
  local status=0
  timeout 900 "$@" >>"$log" 2>&1 &
  pc=$!
  wait "$pc" || status=$?
  pc=""
  return "$status"
}

pc_bareloop() { run_bounded "$bareloop" "$1" "$2" "$3"; }

pc_cli() { run_bounded "$cli" "$1" -p "$2" "$3"; }

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

# Microseconds some task has waited for a CPU since boot (empty without PSI).
cpu_stall_us() { [ -r /proc/pressure/cpu ] && sed -n 's/^some .*total=//p' /proc/pressure/cpu || true; }
declare -A pressure
# The pressure during the transfers of these timings files, as "a–b %".
pressure_of() {
  local f v lo="" hi=""
  for f in "$@"; do
    v=${pressure[$f]:-?}
    [ "$v" = "?" ] && { echo "?"; return; }
    if [ -z "$lo" ] || [ "$v" -lt "$lo" ]; then lo=$v; fi
    if [ -z "$hi" ] || [ "$v" -gt "$hi" ]; then hi=$v; fi
  done
  [ "$lo" = "$hi" ] && echo "$lo %" || echo "$lo–$hi %"
}

# ---------------------------------------------------------------------------
# measure PROGRAM DIRECTION FILE TIMINGS [simulator options]: a fresh simulator
# with --timings TIMINGS, the PC program against it, and the simulator's end.
sims=0
measure() {
  local prog=$1 direction=$2 file=$3 timings=$4 status=0
  shift 4
  sims=$((sims + 1))
  local device="$work/device-$sims"
  rm -f "$timings"
  # Every upload starts without its file (a program may refuse to replace one).
  [ "$direction" != upload ] || rm -f "$file"
  "$simterm" --link "$device" --timings "$timings" --exit-when-done --timeout-s 900 "$@" \
    >"$work/sim.out" 2>"$work/sim.err" &
  sim=$!
  for _ in $(seq 100); do [ -e "$device" ] && break; sleep 0.05; done
  [ -e "$device" ] || fail "the simulator did not start"
  echo "$(date +%T) $prog $direction $* (simulator $sim)" >>"$log"
  local stall0 t0
  stall0=$(cpu_stall_us) t0=$(date +%s%N)
  "pc_$prog" "$direction" "$device" "$file" || fail "$prog: $direction failed"
  for _ in $(seq 100); do kill -0 "$sim" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$sim" 2>/dev/null && fail "the simulator did not see the end of the $direction by $prog"
  wait "$sim" || status=$?
  sim=""
  cat "$work/sim.err" >>"$log"
  [ "$status" = 0 ] || fail "the simulator ended with status $status"
  [ -s "$timings" ] || fail "no timings from the simulator"
  # Share of this transfer's time in which some task waited for a CPU.
  pressure[$timings]=$(awk -v a="$stall0" -v b="$(cpu_stall_us)" -v t0="$t0" -v t1="$(date +%s%N)" \
    'BEGIN { if (a == "" || t1 <= t0) print "?"; else printf "%.0f", 100 * (b - a) / ((t1 - t0) / 1000) }')
}

# The records the terminal sent, as an upload must have written them.
replied_records() { sed -n 's/^R [0-9]* //p' "$1" | grep -vx -e NEXT -e OVER -e NAK -e ACK | sed 's/$/\r/'; }
# The lines the terminal received in a download, as the input file holds them.
received_lines() { sed -n 's/^M [0-9]* [0-9]* //p' "$1" | sed '1d;$d' | sed 's/$/\r/'; }

check_upload() {
  local prog=$1 file=$2 timings=$3 n=$4
  [ "$(lines_in "$file")" = "$n" ] || fail "$prog saved $(lines_in "$file") records, not $n"
  cmp -s "$file" <(replied_records "$timings") || fail "$prog's file differs from the records the terminal sent"
}
check_download() {
  local prog=$1 input=$2 timings=$3
  cmp -s "$input" <(received_lines "$timings") || fail "the terminal did not receive $prog's file line for line"
}

# Lines of exactly $size bytes plus CR LF (the layout quillan-bench uses).
make_input() {
  awk -v n="$1" -v len="$size" 'BEGIN {
    a = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcdefghijklmnopqrstuvwxyz"
    for (i = 1; i <= n; ++i) {
      l = sprintf("%010d;", i)
      for (j = 0; length(l) < len; ++j) l = l substr(a, (i + j) % 62 + 1, 1)
      printf "%s\r\n", substr(l, 1, len)
    }
  }' >"$2"
}

# key value lines of quillan-timings, pooled over the files given.
declare -A fig
analyse() {
  local key=$1 direction=$2 k v
  shift 2
  local pooled="$work/pooled-$key"
  "$timings_tool" "$direction" "$@" >"$pooled" || fail "quillan-timings $direction $*"
  while read -r k v; do fig[$key.$k]=$v; done <"$pooled"
}

# ---------------------------------------------------------------------------
programs=(quillan1 bareloop)
[ -z "$cli" ] || programs+=(cli)
declare -A title=([quillan1]="quillan1, window on screen" [bareloop]="bare loop (quillan-bareloop)" [cli]="$(basename "${cli:-cli}")")

start=$(date +%s)
x_start
input="$work/download.txt"
rate_input="$work/download-rate.txt"
make_input "$count" "$input"
make_input "$rate_count" "$rate_input"

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

{
echo "## quillan1 with its window on screen against a bare loop${label:+ ($label)}: run of $(date -u '+%Y-%m-%d %H:%M UTC')"
echo
echo "- Command: \`$cmdline\`"
echo "- CPU: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores; $(lscpu | sed -n 's/^Hypervisor vendor: *//p' | sed 's/^\(.\+\)$/virtual machine (\1)/')"
echo "- Kernel: $(uname -sr)"
if [ -x "$build/quillan-bench" ]; then
  echo "- $("$build/quillan-bench" info 2>/dev/null)"
else
  echo "- Qt $(dpkg-query -W -f '${Version}' libqt6core6 2>/dev/null || echo '?'), build type $(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")"
fi
src=$(sed -n 's/^CMAKE_HOME_DIRECTORY:[A-Z]*=//p' "$build/CMakeCache.txt")
if [ -n "$src" ] && [ "$(git -C "$src" rev-parse --show-toplevel 2>/dev/null)" = "$src" ]; then
  rev=$(git -C "$src" log -1 --format='%h of %cs')
  [ -z "$(git -C "$src" status --porcelain --untracked-files=no 2>/dev/null)" ] || rev="$rev, with uncommitted changes"
  echo "- Source: $src at commit $rev"
else
  echo "- Source: ${src:-?} (not a git checkout)"
fi
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
for r in $(seq "$runs"); do
  for p in "${programs[@]}"; do
    measure "$p" upload "$work/up-$p.txt" "$work/t-up-$p-$r.txt" --records-count "$count" --record-size "$size"
    check_upload "$p" "$work/up-$p.txt" "$work/t-up-$p-$r.txt" "$count"
  done
  for p in "${programs[@]}"; do
    measure "$p" download "$input" "$work/t-down-$p-$r.txt"
    check_download "$p" "$input" "$work/t-down-$p-$r.txt"
  done
done
for p in "${programs[@]}"; do
  analyse "up-$p" upload "$work"/t-up-"$p"-*.txt
  analyse "down-$p" download "$work"/t-down-"$p"-*.txt
done
echo
echo "| PC program | record → REMOVE median µs | p90 (p99) | NEXT → READ median µs | p90 (p99) | ACK → line median µs | p90 (p99) | exchanges | CPU pressure up / down |"
echo "|---|---|---|---|---|---|---|---|---|"
for p in "${programs[@]}"; do
  u="up-$p" d="down-$p"
  printf '| %s | %.0f | %.0f (%.0f) | %.0f | %.0f (%.0f) | %.0f | %.0f (%.0f) | %s / %s / %s | %s / %s |\n' "${title[$p]}" \
    "${fig[$u.record_remove_median]}" "${fig[$u.record_remove_p90]}" "${fig[$u.record_remove_p99]}" \
    "${fig[$u.next_read_median]}" "${fig[$u.next_read_p90]}" "${fig[$u.next_read_p99]}" \
    "${fig[$d.ack_line_median]}" "${fig[$d.ack_line_p90]}" "${fig[$d.ack_line_p99]}" \
    "${fig[$u.record_remove_n]}" "${fig[$u.next_read_n]}" "${fig[$d.ack_line_n]}" \
    "$(pressure_of "$work"/t-up-"$p"-*.txt)" "$(pressure_of "$work"/t-down-"$p"-*.txt)"
done
for p in "${programs[@]}"; do
  [ "$p" = bareloop ] && continue
  u="up-$p" d="down-$p" bu="up-bareloop" bd="down-bareloop"
  awk -v who="${title[$p]}" -v a="${fig[$u.record_remove_median]}" -v b="${fig[$bu.record_remove_median]}" \
      -v c="${fig[$u.next_read_median]}" -v e="${fig[$bu.next_read_median]}" \
      -v f="${fig[$d.ack_line_median]}" -v g="${fig[$bd.ack_line_median]}" \
      'function q(x, y) { return y > 0 ? sprintf("%.2f", x / y) : "—" }
       BEGIN { printf "| ratio %s / bare loop (medians) | **%s** | | **%s** | | **%s** | | | |\n", who, q(a, b), q(c, e), q(f, g) }'
done
echo
echo "Whole transfers (first READ to the READ after the last NEXT; first line to OVER), for scale:"
for p in "${programs[@]}"; do
  printf -- '- %s: upload %s s (%.0f records/s), download %s s (%.0f lines/s)\n' "${title[$p]}" \
    "${fig[up-$p.seconds]}" "${fig[up-$p.rate]}" "${fig[down-$p.seconds]}" "${fig[down-$p.rate]}"
done

# 3. Rates at 115200 baud, paced by the simulator.
echo
echo "### At 115200 baud (paced by the simulator): $rate_count records of $size bytes, $rate_count lines of $size bytes$([ "$runs" -gt 1 ] && echo ", $runs runs of each pooled")"
load
for r in $(seq "$runs"); do
  for p in "${programs[@]}"; do
    measure "$p" upload "$work/rate-$p.txt" "$work/t-rate-up-$p-$r.txt" --records-count "$rate_count" --record-size "$size" --baud 115200
    check_upload "$p" "$work/rate-$p.txt" "$work/t-rate-up-$p-$r.txt" "$rate_count"
  done
  for p in "${programs[@]}"; do
    measure "$p" download "$rate_input" "$work/t-rate-down-$p-$r.txt" --baud 115200
    check_download "$p" "$rate_input" "$work/t-rate-down-$p-$r.txt"
  done
done
up_line=$(awk -v s="$size" 'BEGIN { printf "%.1f", 115200 / 10 / (5 + s + 1 + 7 + 5) }')
down_line=$(awk -v s="$size" 'BEGIN { printf "%.1f", 115200 / 10 / (s + 1 + 4) }')
echo
echo "| PC program | upload records/s | of the line's $up_line | download lines/s | of the line's $down_line | CPU pressure up / down |"
echo "|---|---|---|---|---|---|"
for p in "${programs[@]}"; do
  analyse "rate-up-$p" upload "$work"/t-rate-up-"$p"-*.txt
  analyse "rate-down-$p" download "$work"/t-rate-down-"$p"-*.txt
  awk -v who="${title[$p]}" -v u="${fig[rate-up-$p.rate]}" -v d="${fig[rate-down-$p.rate]}" -v lu="$up_line" -v ld="$down_line" \
      -v pu="$(pressure_of "$work"/t-rate-up-"$p"-*.txt)" -v pd="$(pressure_of "$work"/t-rate-down-"$p"-*.txt)" \
    'BEGIN { printf "| %s | %.1f | %.1f %% | %.1f | %.1f %% | %s / %s |\n", who, u, 100 * u / lu, d, 100 * d / ld, pu, pd }'
done

echo
echo "_Whole run: $(( $(date +%s) - start )) s. Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)._"
} > >(tee "$out")
# The report's writer ends once it has everything.
wait $! 2>/dev/null || true
echo "report: $out; screenshots: $shots" >&2
