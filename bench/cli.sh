#!/usr/bin/env bash
# quillan-cli as users run it, a process of its own per transfer, against
# quillan-simterm in its own process; beside it, in the same run and
# alternating, the bare blocking loop (quillan-bareloop) and the same dialogue
# on Qt's event loop alone (quillan-qtloop), each against its own simulator.
# Sections:
#   1. turnarounds (record -> REMOVE, NEXT -> READ, download ACK -> line) of
#      quillan-cli, the bare loop and the Qt loop, from the simulators' --timings files;
#   2. peak resident size (VmHWM, /usr/bin/time -f %M) of quillan-cli for a
#      small and a large upload, and a small and a large download;
#   3. one quillan-cli uploading from two simulators at once
#      (-p A -p B FILE-{port}) against the same program with one port;
#   4. CPU time (user + system) and system calls per record of an upload,
#      quillan-cli beside the bare loop and the Qt loop;
#   5. paced at 115200 baud: one quillan-cli serving 1, 8, 32 terminals
#      against as many bare loops, one process each, at the same time.
# Prints a Markdown section (stdout and --out).
#
#   bench/cli.sh [--build DIR] [--cli PATH] [--out FILE] [--dir DIR] [--count N] [--runs N]
#                [--mem-small N] [--mem-big N] [--down-small-mib M] [--down-big-mib M]
#                [--line-length L] [--skip-memory] [--cpu-count N] [--paced-count N]
#                [--paced-ports "1 8 32"] [--skip-paced] [--label TEXT]
#
# --build          build folder with quillan-cli, quillan-simterm, quillan-bareloop,
#                  quillan-qtloop and quillan-timings (default: build-bench)
# --cli            the command-line program to measure (default: <build>/quillan-cli)
# --count          records uploaded and lines downloaded per run for sections 1 and 3 (default 600)
# --runs           runs of each program, alternating, pooled (default 5)
# --mem-small/big  records of the two memory uploads (default 1000 and 100000)
# --down-small/big-mib  sizes in MiB of the two memory downloads (default 1 and 1024)
# --line-length    bytes per line of the memory downloads (default 4096, plus CR LF)
# --skip-memory    leave out section 2
# --cpu-count      records of section 4's long upload (default 6000); its short one has a sixth of them, and
#                  the difference of the two, per record, is the marginal cost (start-up not counted);
#                  strace, if present, counts the system calls the same way
# --paced-count    records per terminal in section 5 (default 400)
# --paced-ports    numbers of terminals served at once in section 5 (default "1 8 32")
# --skip-paced     leave out section 5
# --dir            disk-backed folder for the transfer files (default: <build>/cli-work)
# --out            report file (default: <build>/cli-results.md)
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
cmdline=$(quoted_command bench/cli.sh "$@")
build="$here/../build-bench"
out="" dir="" label="" cli=""
count=600 runs=5 size=40
mem_small=1000 mem_big=100000 down_small=1 down_big=1024 line_length=4096 memory=1
cpu_count=6000 paced_count=400 paced_ports="1 8 32" paced=1
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$2"; shift ;;
    --cli) cli="$2"; shift ;;
    --out) out="$2"; shift ;;
    --dir) dir="$2"; shift ;;
    --count) count="$2"; shift ;;
    --runs) runs="$2"; shift ;;
    --mem-small) mem_small="$2"; shift ;;
    --mem-big) mem_big="$2"; shift ;;
    --down-small-mib) down_small="$2"; shift ;;
    --down-big-mib) down_big="$2"; shift ;;
    --line-length) line_length="$2"; shift ;;
    --skip-memory) memory=0 ;;
    --cpu-count) cpu_count="$2"; shift ;;
    --paced-count) paced_count="$2"; shift ;;
    --paced-ports) paced_ports="$2"; shift ;;
    --skip-paced) paced=0 ;;
    --label) label="$2"; shift ;;
    -h|--help) sed -n '2,37p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 1 ;;
  esac
  shift
done
positive_counts "counts and sizes must be positive whole numbers" \
  "$count" "$runs" "$mem_small" "$mem_big" "$down_small" "$down_big" "$line_length" \
  "$cpu_count" "$paced_count" $paced_ports
build=$(cd "$build" && pwd)
[ -n "$cli" ] || cli="$build/quillan-cli"
cli=$(cd "$(dirname "$cli")" && pwd)/$(basename "$cli")
simterm="$build/quillan-simterm" bareloop="$build/quillan-bareloop" qtloop="$build/quillan-qtloop"
timings_tool="$build/quillan-timings"
built "$cli" "$simterm" "$bareloop" "$qtloop" "$timings_tool"
gnu_time=/usr/bin/time
if ! "$gnu_time" -f %M true >/dev/null 2>&1; then
  echo "$gnu_time (GNU time) is needed for the peak resident size and the CPU time (apt-get install time)" >&2
  exit 1
fi
[ -n "$out" ] || out="$build/cli-results.md"
work_in "${dir:-$build/cli-work}"
bound_s=3600

verdict() { awk -v r="$1" -v lim="$2" 'BEGIN { print (r != "—" && r <= lim) ? "met" : "missed" }'; }

# peak_run KIBFILE COMMAND...: the command's peak resident size in KiB into KIBFILE.
peak_run() {
  local kib="$1"
  shift
  run_pc "$gnu_time" -f %M -o "$kib" "$@"
}

declare -A title=([cli]="quillan-cli" [bareloop]="bare loop (quillan-bareloop)" [qtloop]="Qt event loop alone (quillan-qtloop)")
programs=(cli bareloop qtloop)
start=$(date +%s)

report_begin "$out"
echo "## quillan-cli as a process of its own against a bare loop${label:+ ($label)}: run of $(date -u '+%Y-%m-%d %H:%M UTC')"
echo
# No Source line when the source is not a git checkout.
report_machine "$cmdline" || true
echo "- Program measured: \`$cli\`, run as \`quillan-cli upload|download -p DEVICE FILE\` (DEVICE: the"
echo "  simulator's --link symlink to its pty), a fresh process per transfer"
echo "- Transfer files: $dir on $(df -T "$work" | awk 'NR==2 {print $1" "$2}')"
echo "- Memory: $(free -m | awk '/^Mem:/ {print $2" MiB"}'); load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

# 1. Turnarounds --------------------------------------------------------------
input="$work/download.txt"
make_input "$count" "$size" "$input"
echo "### 1. Turnarounds: $count records of $size bytes uploaded, a $count-line file downloaded, no pacing, $runs runs of each pooled (alternating)"
load
# Warm-up, not measured: the first start of each program loads its libraries from disk.
for p in "${programs[@]}"; do
  measure "$p" upload "$work/warm-$p.txt" "$work/t-warm-$p.txt" --records-count 50 --record-size "$size"
done
transfer_rounds "" "$count" "$size" "$input" "$runs"
echo
echo "Each program in its own process against its own \`quillan-simterm --timings\`; turnarounds on the simulator's"
echo "clock: record's CR written → first byte of REMOVE, NEXT's CR → first byte of READ, ACK's CR → first byte of"
echo "the next line (nearest-rank median and p90; p99 in brackets). CPU pressure: share of each run in which some"
echo "task waited for a CPU (/proc/pressure/cpu)."
echo
turnaround_table
r1=$(ratio "${fig[up-cli.record_remove_median]}" "${fig[up-bareloop.record_remove_median]}")
r2=$(ratio "${fig[up-cli.next_read_median]}" "${fig[up-bareloop.next_read_median]}")
r3=$(ratio "${fig[down-cli.ack_line_median]}" "${fig[down-bareloop.ack_line_median]}")
q1=$(ratio "${fig[up-cli.record_remove_p90]}" "${fig[up-bareloop.record_remove_p90]}")
q2=$(ratio "${fig[up-cli.next_read_p90]}" "${fig[up-bareloop.next_read_p90]}")
q3=$(ratio "${fig[down-cli.ack_line_p90]}" "${fig[down-bareloop.ack_line_p90]}")
echo "| ratio quillan-cli / bare loop | **$r1** | $q1 | **$r2** | $q2 | **$r3** | $q3 | | |"
echo "| ratio quillan-cli / Qt event loop alone | $(ratio "${fig[up-cli.record_remove_median]}" "${fig[up-qtloop.record_remove_median]}") |" \
  "| $(ratio "${fig[up-cli.next_read_median]}" "${fig[up-qtloop.next_read_median]}") |" \
  "| $(ratio "${fig[down-cli.ack_line_median]}" "${fig[down-qtloop.ack_line_median]}") | | | |"
echo
echo "Target: quillan-cli's medians within 10 % of the bare loop's (ratio ≤ 1.10): record → REMOVE **$(verdict "$r1" 1.10)**,"
echo "NEXT → READ **$(verdict "$r2" 1.10)**, ACK → line **$(verdict "$r3" 1.10)**."
echo
echo "Per run (medians µs, quillan-cli / bare loop / Qt loop):"
# med DIRECTION TURNAROUND: run $r's three medians.
med() { printf '%.0f / %.0f / %.0f' "${fig[run$r-$1-cli.$2_median]}" "${fig[run$r-$1-bareloop.$2_median]}" \
  "${fig[run$r-$1-qtloop.$2_median]}"; }
for r in $(seq "$runs"); do
  for p in "${programs[@]}"; do
    analyse "run$r-up-$p" upload "$work/t-up-$p-$r.txt"
    analyse "run$r-down-$p" download "$work/t-down-$p-$r.txt"
  done
  echo "- run $r: record → REMOVE $(med up record_remove), NEXT → READ $(med up next_read), ACK → line $(med down ack_line)"
done
echo
echo "Whole transfers (first READ to the READ after the last NEXT; first line to OVER), pooled, for scale:"
whole_transfers

# 2. Memory -------------------------------------------------------------------
if [ $memory = 1 ]; then
  echo
  echo "### 2. Peak resident size of quillan-cli (VmHWM, \`/usr/bin/time -f %M\`; a fresh process each)"
  load
  echo
  echo "Simulator with \`--lean\` and no \`--timings\` (it keeps no history); each transfer checked (upload: the"
  echo "file's records; download: the simulator's count of messages received)."
  echo
  echo "| transfer | peak RSS KiB | MiB | seconds | rate | CPU pressure |"
  echo "|---|---|---|---|---|---|"
  declare -A peak
  for n in "$mem_small" "$mem_big"; do
    f="$work/mem-up.txt"
    rm -f "$f"
    sim_start mem-up --lean --records-count "$n" --record-size "$size"
    stall0=$(cpu_stall_us) t0=$(date +%s%N)
    peak_run "$work/kib" "$cli" upload -p "$work/mem-up" "$f" || fail "quillan-cli upload of $n records failed"
    t1=$(date +%s%N)
    p=$(pressure_since "$stall0" "$t0")
    sim_wait mem-up
    [ "$(lines_in "$f")" = "$n" ] || fail "quillan-cli saved $(lines_in "$f") records, not $n"
    peak[up-$n]=$(tail -n1 "$work/kib")
    awk -v n="$n" -v s="$size" -v k="${peak[up-$n]}" -v t0="$t0" -v t1="$t1" -v p="$p" \
      'BEGIN { t = (t1 - t0) / 1e9; printf "| upload, %d records of %d bytes | %d | %.2f | %.1f | %.0f records/s | %s %% |\n", n, s, k, k / 1024, t, n / t, p }'
    rm -f "$f"
  done
  for mib in "$down_small" "$down_big"; do
    f="$work/mem-down.txt"
    nlines=$(( mib * 1048576 / (line_length + 2) ))
    [ "$nlines" -gt 0 ] || nlines=1
    # One block of lines written once, then repeated: a large file in seconds.
    block=$(( nlines < 1024 ? nlines : 1024 ))
    make_input "$block" "$line_length" "$work/block.txt"
    : >"$f"
    for _ in $(seq $(( nlines / block ))); do cat "$work/block.txt"; done >>"$f"
    head -n $(( nlines % block )) "$work/block.txt" >>"$f"
    bytes=$(stat -c %s "$f")
    sim_start mem-down --lean
    stall0=$(cpu_stall_us) t0=$(date +%s%N)
    peak_run "$work/kib" "$cli" download -p "$work/mem-down" "$f" || fail "quillan-cli download of $mib MiB failed"
    t1=$(date +%s%N)
    p=$(pressure_since "$stall0" "$t0")
    sim_wait mem-down
    got=$(sed -n 's/.* \([0-9]*\) messages received.*/\1/p' "$work/sim-mem-down.err")
    [ "$got" = $(( nlines + 2 )) ] || fail "the simulator received ${got:-?} messages, not DOWN, $nlines lines and OVER"
    peak[down-$mib]=$(tail -n1 "$work/kib")
    awk -v m="$mib" -v b="$bytes" -v n="$nlines" -v l="$line_length" -v k="${peak[down-$mib]}" -v t0="$t0" -v t1="$t1" -v p="$p" \
      'BEGIN { t = (t1 - t0) / 1e9; printf "| download, %d MiB (%d bytes, %d lines of %d bytes) | %d | %.2f | %.1f | %.1f MiB/s | %s %% |\n", m, b, n, l, k, k / 1024, t, b / 1048576 / t, p }'
    rm -f "$f"
  done
  up_growth=$(( ${peak[up-$mem_big]} - ${peak[up-$mem_small]} ))
  down_growth=$(( ${peak[down-$down_big]} - ${peak[down-$down_small]} ))
  echo
  awk -v u="$up_growth" -v d="$down_growth" -v a="$mem_small" -v b="$mem_big" -v c="$down_small" -v e="$down_big" 'BEGIN {
    printf "Upload %d → %d records: %+d KiB (%+.2f MiB); target within 1 MiB: **%s**.  \n", a, b, u, u / 1024, (u <= 1024 && u >= -1024) ? "met" : "missed"
    printf "Download %d MiB → %d MiB: %+d KiB (%+.2f MiB); target within a few MiB (taken as 3): **%s**.\n", c, e, d, d / 1024, (d <= 3072 && d >= -3072) ? "met" : "missed"
  }'
fi

# 3. Two ports in one process -------------------------------------------------
echo
echo "### 3. Two ports in one quillan-cli process: \`upload -p A -p B out-{port}.txt\` against two simulators at once, vs one port ($count records of $size bytes per port, $runs runs of each pooled, alternating)"
load
for r in $(seq "$runs"); do
  # One port.
  rm -f "$work"/out-one-a.txt "$work/t-one-$r.txt"
  sim_start one-a --timings "$work/t-one-$r.txt" --records-count "$count" --record-size "$size"
  stall0=$(cpu_stall_us) t0=$(date +%s%N)
  run_pc "$cli" upload -p "$work/one-a" "$work/out-{port}.txt" || fail "quillan-cli upload on one port failed"
  sim_wait one-a
  pressure[one-$r]=$(pressure_since "$stall0" "$t0")
  check_upload "quillan-cli (one port)" "$work/out-one-a.txt" "$work/t-one-$r.txt" "$count"
  # Two ports, one process.
  rm -f "$work"/out-two-[ab].txt "$work/t-two-a-$r.txt" "$work/t-two-b-$r.txt"
  sim_start two-a --timings "$work/t-two-a-$r.txt" --records-count "$count" --record-size "$size"
  sim_start two-b --timings "$work/t-two-b-$r.txt" --records-count "$count" --record-size "$size"
  stall0=$(cpu_stall_us) t0=$(date +%s%N)
  run_pc "$cli" upload -p "$work/two-a" -p "$work/two-b" "$work/out-{port}.txt" || fail "quillan-cli upload on two ports failed"
  sim_wait two-a
  sim_wait two-b
  pressure[two-$r]=$(pressure_since "$stall0" "$t0")
  check_upload "quillan-cli (two ports, A)" "$work/out-two-a.txt" "$work/t-two-a-$r.txt" "$count"
  check_upload "quillan-cli (two ports, B)" "$work/out-two-b.txt" "$work/t-two-b-$r.txt" "$count"
done
analyse one upload "$work"/t-one-*.txt
analyse two upload "$work"/t-two-[ab]-*.txt
analyse two-a upload "$work"/t-two-a-*.txt
analyse two-b upload "$work"/t-two-b-*.txt
ones=() twos=()
for r in $(seq "$runs"); do ones+=("one-$r"); twos+=("two-$r"); done
echo
echo "Turnarounds per exchange from each simulator's timings (two ports: both simulators' exchanges pooled, and each"
echo "port alone). Records/s: all records over the simulators' transfer seconds, per port."
echo
echo "| quillan-cli | record → REMOVE median µs | p90 (p99) | NEXT → READ median µs | p90 (p99) | exchanges | records/s per port | CPU pressure |"
echo "|---|---|---|---|---|---|---|---|"
row3() {
  local k=$1 who=$2 pr=$3
  printf '| %s | %.0f | %.0f (%.0f) | %.0f | %.0f (%.0f) | %s / %s | %.0f | %s |\n' "$who" \
    "${fig[$k.record_remove_median]}" "${fig[$k.record_remove_p90]}" "${fig[$k.record_remove_p99]}" \
    "${fig[$k.next_read_median]}" "${fig[$k.next_read_p90]}" "${fig[$k.next_read_p99]}" \
    "${fig[$k.record_remove_n]}" "${fig[$k.next_read_n]}" "${fig[$k.rate]}" "$pr"
}
row3 one "one port" "$(pressure_of "${ones[@]}")"
row3 two "two ports, both pooled" "$(pressure_of "${twos[@]}")"
row3 two-a "two ports, port A" ""
row3 two-b "two ports, port B" ""
m1=$(ratio "${fig[two.record_remove_median]}" "${fig[one.record_remove_median]}")
m2=$(ratio "${fig[two.next_read_median]}" "${fig[one.next_read_median]}")
echo "| ratio two ports / one port | **$m1** | $(ratio "${fig[two.record_remove_p90]}" "${fig[one.record_remove_p90]}") | **$m2** | $(ratio "${fig[two.next_read_p90]}" "${fig[one.next_read_p90]}") | | | |"
awk -v o="${fig[one.rate]}" -v t="${fig[two.rate]}" 'BEGIN {
  printf "\nBoth ports together: %.0f records/s against %.0f on one port (%.2f times).\n", 2 * t, o, (o > 0 ? 2 * t / o : 0) }'
echo
echo "Target: no more per exchange with two ports than with one (ratio of medians ≤ 1.00): record → REMOVE"
echo "**$(verdict "$m1" 1.00)**, NEXT → READ **$(verdict "$m2" 1.00)**."


# 4. CPU and system calls per record -------------------------------------------
# cpu_upload PROG N RESULT [wrapper...]: uploads N records with PROG under the wrapper, checks the file.
cpu_upload() {
  local prog=$1 n=$2 f="$work/cpu-$1.txt"
  shift 2
  rm -f "$f"
  sim_start cpu --lean --records-count "$n" --record-size "$size"
  pc_command "$prog" upload "$work/cpu" "$f"
  run_pc "$@" "${cmd[@]}" || fail "${title[$prog]} upload of $n records failed"
  sim_wait cpu
  [ "$(lines_in "$f")" = "$n" ] || fail "${title[$prog]} saved $(lines_in "$f") records, not $n"
}
# CPU time (user + system, all threads) of a command: clock FILE COMMAND
# writes it to FILE, cpu_ms FILE reads it in ms. perf's task-clock where the
# kernel lets it count, else GNU time's (10 ms steps).
if perf stat -x, -e task-clock true 2>/dev/null; then
  clock=(perf stat -x, -e task-clock -o)
  cpu_ms() { awk -F, '/task-clock/ { print $1 }' "$1"; }
  clock_name="perf stat task-clock"
else
  clock=("$gnu_time" -f "%U %S" -o)
  cpu_ms() { tail -n1 "$1" | awk '{ print ($1 + $2) * 1000 }'; }
  clock_name="GNU time, user + system"
fi
short=$(( cpu_count / 6 ))
echo
echo "### 4. CPU and system calls per record: uploads of $cpu_count and of $short records of $size bytes, no pacing, $runs runs of each (alternating)"
load
echo
declare -A cpu_us
for r in $(seq "$runs"); do
  for p in "${programs[@]}"; do
    cpu_upload "$p" "$cpu_count" "${clock[@]}" "$work/cpu-long"
    cpu_upload "$p" "$short" "${clock[@]}" "$work/cpu-short"
    cpu_us[$p]+=" $(awk -v a="$(cpu_ms "$work/cpu-long")" -v b="$(cpu_ms "$work/cpu-short")" -v n="$((cpu_count - short))" \
                      'BEGIN { printf "%.1f", (a - b) * 1000 / n }')"
  done
done
median() { tr ' ' '\n' <<<"$*" | sed '/^$/d' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
echo "| per record | quillan-cli | bare loop | Qt loop | quillan-cli / bare loop | quillan-cli / Qt loop |"
echo "|---|---|---|---|---|---|"
c1=$(median ${cpu_us[cli]}) c2=$(median ${cpu_us[bareloop]}) c3=$(median ${cpu_us[qtloop]})
rc=$(ratio "$c1" "$c2")
echo "| marginal CPU µs ($clock_name; $cpu_count records less $short; median of $runs; runs:${cpu_us[cli]} /${cpu_us[bareloop]} /${cpu_us[qtloop]}) | $c1 | $c2 | $c3 | **$rc** | $(ratio "$c1" "$c3") |"
if command -v strace >/dev/null; then
  # Marginal calls, counted the same way.
  declare -A calls
  for p in "${programs[@]}"; do
    for n in "$cpu_count" "$short"; do
      cpu_upload "$p" "$n" strace -f -qq -c -o "$work/strace-$p-$n"
    done
    calls[$p]=$(awk -v n1="$cpu_count" -v n2="$short" '
      FNR == 1 { file++ }
      $NF != "total" && $4 ~ /^[0-9]+$/ { c[file, $NF] = $4; names[$NF] = 1 }
      END { total = 0; list = ""
            for (k in names) { d = (c[1, k] - c[2, k]) / (n1 - n2); total += d
                               if (d >= 0.2) list = list sprintf("%s %.1f, ", k, d) }
            sub(/, $/, "", list); printf "%.1f (%s)", total, list }' "$work/strace-$p-$cpu_count" "$work/strace-$p-$short")
  done
  echo "| system calls (all threads, strace -f; $cpu_count records less $short) | ${calls[cli]} | ${calls[bareloop]} | ${calls[qtloop]} |" \
    "$(ratio "${calls[cli]%% *}" "${calls[bareloop]%% *}") | $(ratio "${calls[cli]%% *}" "${calls[qtloop]%% *}") |"
else
  echo "| system calls | (strace not installed) | | | | |"
fi
echo
echo "Target: quillan-cli's CPU per record at most 1.2 times the bare loop's: **$(verdict "$rc" 1.20)**."

# 5. Many terminals at 115200 baud ----------------------------------------------
if [ $paced = 1 ]; then
  echo
  echo "### 5. Paced at 115200 baud: one quillan-cli serving N terminals beside N bare loops (one process each), $paced_count records of $size bytes per terminal"
  load
  echo
  echo "Each simulator paces both directions to 115200 baud (\`--baud 115200\`); records/s = records over the wall time"
  echo "from the first start to the last end (every file checked). The bare loops run all at once."
  echo
  echo "| terminals | quillan-cli records/s per terminal | share of one terminal's | quillan-cli total | bare loops total | quillan-cli / bare loops | CPU pressure |"
  echo "|---|---|---|---|---|---|---|"
  one_rate=""
  for np in $paced_ports; do
    # quillan-cli: one process, every port.
    args=()
    for i in $(seq "$np"); do
      sim_start "pc$i" --lean --baud 115200 --records-count "$paced_count" --record-size "$size"
      args+=(-p "$work/pc$i")
      rm -f "$work/paced-pc$i.txt"
    done
    stall0=$(cpu_stall_us) t0=$(date +%s%N)
    run_pc "$cli" upload "${args[@]}" "$work/paced-{port}.txt" || fail "quillan-cli upload on $np paced ports failed"
    t1=$(date +%s%N)
    pcli=$(pressure_since "$stall0" "$t0")
    for i in $(seq "$np"); do
      sim_wait "pc$i"
      [ "$(lines_in "$work/paced-pc$i.txt")" = "$paced_count" ] || fail "quillan-cli saved $(lines_in "$work/paced-pc$i.txt") records from terminal $i, not $paced_count"
    done
    cli_total=$(awk -v n="$np" -v c="$paced_count" -v a="$t0" -v b="$t1" 'BEGIN { printf "%.0f", n * c / ((b - a) / 1e9) }')
    # Bare loops: one process per terminal, all at once.
    pids=()
    for i in $(seq "$np"); do
      sim_start "pb$i" --lean --baud 115200 --records-count "$paced_count" --record-size "$size"
      rm -f "$work/paced-pb$i.txt"
    done
    stall0=$(cpu_stall_us) t0=$(date +%s%N)
    for i in $(seq "$np"); do
      timeout "$bound_s" "$bareloop" upload "$work/pb$i" "$work/paced-pb$i.txt" >>"$log" 2>&1 &
      pids+=($!)
      bg+=($!)
    done
    for p in "${pids[@]}"; do wait "$p" || fail "a bare loop on $np paced ports failed"; forget "$p"; done
    t1=$(date +%s%N)
    pbare=$(pressure_since "$stall0" "$t0")
    for i in $(seq "$np"); do
      sim_wait "pb$i"
      [ "$(lines_in "$work/paced-pb$i.txt")" = "$paced_count" ] || fail "a bare loop saved $(lines_in "$work/paced-pb$i.txt") records, not $paced_count"
    done
    bare_total=$(awk -v n="$np" -v c="$paced_count" -v a="$t0" -v b="$t1" 'BEGIN { printf "%.0f", n * c / ((b - a) / 1e9) }')
    per=$(awk -v t="$cli_total" -v n="$np" 'BEGIN { printf "%.1f", t / n }')
    [ -n "$one_rate" ] || one_rate=$per
    share=$(awk -v p="$per" -v o="$one_rate" 'BEGIN { printf "%.0f", 100 * p / o }')
    echo "| $np | $per | $share % | $cli_total | $bare_total | **$(ratio "$cli_total" "$bare_total")** | $pcli % / $pbare % |"
    last_share=$share last_ratio=$(ratio "$cli_total" "$bare_total") last_np=$np
  done
  echo
  echo "Targets with $last_np terminals: at least 90 % of one terminal's records per second: **$(awk -v s="$last_share" 'BEGIN { print (s >= 90) ? "met" : "missed" }')**;"
  echo "at least the bare loops' total: **$(awk -v r="$last_ratio" 'BEGIN { print (r != "—" && r >= 1.00) ? "met" : "missed" }')**."
fi
echo
echo "_Whole run: $(( $(date +%s) - start )) s. Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)._"
report_end
echo "report: $out" >&2
