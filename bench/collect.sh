#!/usr/bin/env bash
# quillan-cli collect as a service runs it, a process of its own against
# quillan-simterm processes; beside it, in the same run, the bare loop doing
# the same work (quillan-bareloop collect / upload). Three sections:
#   1. a docked terminal's records: collect's rate against `quillan-cli
#      upload` and the bare loop's, from the simulators' --timings files;
#   2. watching many empty cradles: CPU and wake-ups (context switches of all
#      threads) a second per port of collect against the bare collect loop;
#   3. memory over many dockings (a terminal that holds a new record after
#      each DONE, asked again at once): resident size after the first and the
#      last thousand.
# Prints a Markdown section (stdout and --out).
#
#   bench/collect.sh [--build DIR] [--out FILE] [--dir DIR] [--records N] [--runs N]
#                    [--ports N] [--idle-s S] [--dockings N]
#
# --build     build folder with quillan-cli, quillan-simterm, quillan-bareloop and quillan-timings
#             (default: build-bench)
# --records   records of a docked terminal in section 1 (default 3000)
# --runs      runs of each program in section 1, alternating (default 3)
# --ports     empty cradles watched in section 2 (default 32)
# --idle-s    seconds measured in section 2, after 10 s to settle (default 60)
# --dockings  dockings in section 3 (default 10000)
# --dir       disk-backed folder for the files (default: <build>/collect-work)
# --out       report file (default: <build>/collect-results.md)
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
cmdline=$(quoted_command bench/collect.sh "$@")
build="$here/../build-bench"
out="" dir=""
records=3000 runs=3 ports=32 idle_s=60 dockings=10000 size=40
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$2"; shift ;;
    --out) out="$2"; shift ;;
    --dir) dir="$2"; shift ;;
    --records) records="$2"; shift ;;
    --runs) runs="$2"; shift ;;
    --ports) ports="$2"; shift ;;
    --idle-s) idle_s="$2"; shift ;;
    --dockings) dockings="$2"; shift ;;
    -h|--help) sed -n '2,25p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 1 ;;
  esac
  shift
done
positive_counts "counts must be positive whole numbers" "$records" "$runs" "$ports" "$idle_s" "$dockings"
build=$(cd "$build" && pwd)
cli="$build/quillan-cli" simterm="$build/quillan-simterm" bareloop="$build/quillan-bareloop"
timings_tool="$build/quillan-timings"
built "$cli" "$simterm" "$bareloop" "$timings_tool"
[ -n "$out" ] || out="$build/collect-results.md"
work_in "${dir:-$build/collect-work}"
bound_s=3600

# A collector in the background until the simulator of this transfer has
# seen DONE and gone; then stopped as a service is.
pc_collect() {
  "$cli" collect -q -p "$2" --interval 60 "$3" 2>>"$log" &
  local pc=$!
  bg+=("$pc")
  while kill -0 "${sim_pid[$sim_name]}" 2>/dev/null; do sleep 0.05; done
  kill -TERM "$pc"
  wait "$pc" || fail "collect ended with status $?"
  forget "$pc"
}

# cpu_ticks PID: user + system clock ticks of the process, all threads.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# switches PID: context switches of all its threads so far (each a wake-up or a preemption).
switches() {
  cat /proc/"$1"/task/*/status 2>/dev/null | awk '/ctxt_switches/ { n += $2 } END { print n + 0 }'
}

declare -A title=([cli]="quillan-cli upload" [collect]="quillan-cli collect" [bareloop]="bare loop (quillan-bareloop upload)")
programs=(cli collect bareloop)

report_begin "$out"
echo "## quillan-cli collect against quillan-cli upload and a bare loop: run of $(date -u '+%Y-%m-%d %H:%M UTC')"
echo
report_machine "$cmdline" || true
echo "- Files: $dir on $(df -T "$work" | awk 'NR==2 {print $1" "$2}'); load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

# 1. A docked terminal --------------------------------------------------------
echo "### 1. A docked terminal: $records records of $size bytes, no pacing, $runs runs of each (alternating)"
load
echo
for round in $(seq "$runs"); do
  for p in "${programs[@]}"; do
    t="$work/t-$p-$round.txt"
    measure "$p" upload "$work/up-$p.txt" "$t" --records-count "$records" --record-size "$size"
    check_upload "$p" "$work/up-$p.txt" "$t" "$records"
    rm -f "$work/up-$p.txt"
  done
done
echo "| PC program | records/s (pooled) | record → REMOVE median µs | NEXT → READ median µs | against upload |"
echo "|---|---|---|---|---|"
for p in "${programs[@]}"; do analyse "up-$p" upload "$work"/t-"$p"-*.txt; done
for p in "${programs[@]}"; do
  printf '| %s | %.0f | %.0f | %.0f | %s |\n' "${title[$p]}" "${fig[up-$p.rate]}" \
    "${fig[up-$p.record_remove_median]}" "${fig[up-$p.next_read_median]}" "$(ratio "${fig[up-$p.rate]}" "${fig[up-cli.rate]}")"
done
rate=$(ratio "${fig[up-collect.rate]}" "${fig[up-cli.rate]}")
echo
echo "Target: collect's rate within 3 % of upload's: $rate, **$(awk -v r="$rate" 'BEGIN { print (r >= 0.97) ? "met" : "missed" }')**."

# 2. Empty cradles ------------------------------------------------------------
echo
echo "### 2. $ports empty cradles watched for $idle_s s (after 10 s to settle), defaults (--interval 5, -t 5)"
load
echo
devices=()
for i in $(seq "$ports"); do
  sim_start "idle-$i" --undocked
  devices+=("$work/idle-$i")
done
hz=$(getconf CLK_TCK)
declare -A idle_cpu idle_wake
for p in collect bareloop; do
  if [ "$p" = collect ]; then
    args=()
    for d in "${devices[@]}"; do args+=(-p "$d"); done
    "$cli" collect -q "${args[@]}" "$work/idle-{port}.txt" 2>>"$log" &
  else
    "$bareloop" collect "$work/bare-idle.txt" 5000 5000 "${devices[@]}" >>"$log" 2>&1 &
  fi
  pc=$!
  bg+=("$pc")
  sleep 10
  c0=$(cpu_ticks "$pc") s0=$(switches "$pc")
  sleep "$idle_s"
  c1=$(cpu_ticks "$pc") s1=$(switches "$pc")
  kill -TERM "$pc"
  wait "$pc" || fail "$p ended with status $?"
  forget "$pc"
  idle_cpu[$p]=$(awk -v c="$((c1 - c0))" -v hz="$hz" -v s="$idle_s" 'BEGIN { printf "%.3f", 100 * c / hz / s }')
  idle_wake[$p]=$(awk -v n="$((s1 - s0))" -v s="$idle_s" -v k="$ports" 'BEGIN { printf "%.2f", n / s / k }')
done
ls "$work"/idle-idle-*.txt >/dev/null 2>&1 && fail "collect made a file while nothing docked"
echo "| PC program | CPU, % of one core | wake-ups a second per port |"
echo "|---|---|---|"
echo "| quillan-cli collect (a thread per port) | ${idle_cpu[collect]} | ${idle_wake[collect]} |"
echo "| bare loop (one thread, poll()) | ${idle_cpu[bareloop]} | ${idle_wake[bareloop]} |"
echo
echo "Targets: under 0.1 % of one CPU: **$(awk -v c="${idle_cpu[collect]}" 'BEGIN { print (c < 0.1) ? "met" : "missed" }')**;" \
  "under 2 wake-ups a second per port: **$(awk -v w="${idle_wake[collect]}" 'BEGIN { print (w < 2) ? "met" : "missed" }')**."

# 3. Many dockings ------------------------------------------------------------
echo
echo "### 3. Memory over $dockings dockings (one record each; --interval and --rest 0.001)"
load
echo
# Not ending with its first DONE: every poll of it is a docking.
"$simterm" --link "$work/many" --records-count 1 --record-size "$size" --refill 1 --lean >>"$log" 2>&1 &
bg+=("$!")
for _ in $(seq 100); do [ -e "$work/many" ] && break; sleep 0.05; done
file="$work/many.txt"
"$cli" collect -q -p "$work/many" --interval 0.001 --rest 0.001 -t 2 "$file" 2>>"$log" &
pc=$!
bg+=("$pc")
rss() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }
t0=$(date +%s)
while [ "$(lines_in "$file")" -lt 1000 ]; do sleep 0.2; kill -0 "$pc" || fail "collect ended"; done
r1=$(rss "$pc")
while [ "$(lines_in "$file")" -lt "$dockings" ]; do sleep 0.5; kill -0 "$pc" || fail "collect ended"; done
r2=$(rss "$pc") t1=$(date +%s)
kill -TERM "$pc"
wait "$pc" || fail "collect ended with status $?"
forget "$pc"
echo "| dockings | resident size KiB |"
echo "|---|---|"
echo "| 1,000 | $r1 |"
echo "| $dockings | $r2 |"
echo
echo "$dockings dockings in $((t1 - t0)) s; growth from the first thousand to the last: $((r2 - r1)) KiB" \
  "(target: flat, **$(awk -v a="$r1" -v b="$r2" 'BEGIN { print (b - a <= 0.02 * a) ? "met" : "missed" }')**: within 2 %)."
report_end
