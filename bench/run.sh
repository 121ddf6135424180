#!/usr/bin/env bash
# Runs the benchmarks and writes a Markdown report (stdout and $OUT).
#
#   bench/run.sh [--quick] [--window] [--cli] [--build DIR] [--dir DIR] [--out FILE]
#
# --build  build folder holding quillan-bench and quillan-simterm (default: build-bench)
# --dir    disk-backed folder for the files the transfers write and read
#          (default: <build>/bench-work); must not be tmpfs for the figures to mean much
# --quick  fewer runs and smaller sizes (about a minute instead of ~10)
# --window also bench/window.sh: quillan1 with its window on screen (Xvfb, openbox, xdotool)
# --cli    also bench/cli.sh: quillan-cli as a process against the bare loop, its memory, two ports
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build="$here/../build-bench"
dir=""
out=""
quick=0
window=0
cli=0
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --window) window=1 ;;
    --cli) cli=1 ;;
    --build) build="$2"; shift ;;
    --dir) dir="$2"; shift ;;
    --out) out="$2"; shift ;;
    -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 1 ;;
  esac
  shift
done
build=$(cd "$build" && pwd)
bench="$build/quillan-bench"
[ -x "$bench" ] || { echo "no $bench: build first (cmake --build $build)" >&2; exit 1; }
[ -n "$dir" ] || dir="$build/bench-work"
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
[ -n "$out" ] || out="$build/bench-results.md"
log="$build/bench-stderr.log"
: > "$log"
tmpfs_dir=""
if [ -d /dev/shm ] && [ "$(stat -f -c %T /dev/shm)" = tmpfs ]; then
  tmpfs_dir=$(mktemp -d /dev/shm/quillan-bench.XXXXXX)
fi
cleanup() { [ -z "$tmpfs_dir" ] || rm -rf "$tmpfs_dir"; }
trap cleanup EXIT

if [ $quick = 1 ]; then
  runs=2; up_count=500; mem_count=20000; rate_count=150; down_count=5000
  small_sizes=1,8; big_sizes=1,128; big_length=4096
else
  runs=5; up_count=2000; mem_count=100000; rate_count=400; down_count=20000
  small_sizes=1,64; big_sizes=1,1024; big_length=4096
fi

b() { "$bench" "$@" 2>>"$log"; }
# Other work on the machine shows in every figure: say how busy it was.
load() {
  local psi=""
  [ -r /proc/pressure/cpu ] && psi="; CPU pressure (share of time some task waited for a CPU, last 10 s): $(awk '/^some/ {sub("avg10=","",$2); print $2"%"}' /proc/pressure/cpu)"
  echo "_Load average before this section: $(cut -d' ' -f1-3 /proc/loadavg)${psi}_"
}

start=$(date +%s)
{
echo "## Run of $(date -u '+%Y-%m-%d %H:%M UTC')$([ $quick = 1 ] && echo ' (quick)')"
echo
echo "- CPU: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores; $(lscpu | sed -n 's/^Hypervisor vendor: *//p' | sed 's/^\(.\+\)$/virtual machine (\1)/')"
echo "- Kernel: $(uname -sr)"
fs=$(df -T "$dir" | awk 'NR==2 {print $1" "$2}')
dev=$(basename "$(echo "$fs" | cut -d' ' -f1)")
rot=$(cat "/sys/block/$dev/queue/rotational" 2>/dev/null || echo "?")
echo "- Output folder: $dir on $fs (rotational flag $rot)"
echo "- $(b info)"
echo "- Memory: $(free -m | awk '/^Mem:/ {print $2" MiB"}')"
echo

echo "### 1. Upload turnaround (disk)"
load
b upload --runs $runs --count $up_count --dir "$dir"
if [ -n "$tmpfs_dir" ]; then
  echo
  echo "### 1b. Upload turnaround with the output on tmpfs (fdatasync costs nothing there)"
  load
  b upload --runs $((runs > 3 ? 3 : runs)) --count $up_count --dir "$tmpfs_dir"
fi

echo
echo "### 2. Upload peak resident size (VmHWM of the PC side)"
load
echo
echo "| upload | VmHWM at start MiB | at 10,000 records | at 100,000 (or the last) | growth MiB | seconds | records/s |"
echo "|---|---|---|---|---|---|---|"
b upload-memory --count $mem_count --dir "$dir"
# A second run on tmpfs: memory does not depend on the disk, and this one is quick.
[ -z "$tmpfs_dir" ] || b upload-memory --count $mem_count --dir "$tmpfs_dir" | sed 's/^| /| (tmpfs) /'

echo
echo "### 3. Upload at 115200 baud"
load
b upload-rate --runs 3 --count $rate_count --baud 115200 --dir "$dir"
if [ -n "$tmpfs_dir" ]; then
  b upload-rate --runs 2 --count $rate_count --baud 115200 --dir "$tmpfs_dir"
fi

echo
echo "### 4. Download turnaround"
load
b download --runs $runs --count $down_count --dir "$dir"

echo
echo "### 5. Download peak resident size (VmHWM of the PC side; each size in a fresh process)"
load
b download-memory --sizes-mib $small_sizes --length 40 --dir "$dir"
b download-memory --sizes-mib $big_sizes --length $big_length --dir "$dir" | sed 1,3d

echo
echo "### 6. Download at 115200 baud"
load
b download-rate --runs 3 --count $rate_count --baud 115200 --dir "$dir"

if [ $window = 1 ]; then
  echo
  echo "### 7. quillan1 with its window on screen"
  "$here/window.sh" --build "$build" --dir "$dir" --out "$build/window-results.md" \
    $([ $quick = 1 ] && echo --count 1000 --rate-count 200) 2>>"$log" | sed '1s/^## /#### /; 2,$s/^### /#### /'
fi

if [ $cli = 1 ]; then
  echo
  echo "### 8. quillan-cli as a process of its own"
  "$here/cli.sh" --build "$build" --dir "$dir" --out "$build/cli-results.md" \
    $([ $quick = 1 ] && echo --count 300 --runs 2 --mem-big 10000 --down-big-mib 64) 2>>"$log" | sed '1s/^## /#### /; 2,$s/^### /#### /'
fi

echo
echo "_Whole run: $(( $(date +%s) - start )) s. Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)._"
} | tee "$out"
echo "report: $out; stderr of the programs: $log" >&2
