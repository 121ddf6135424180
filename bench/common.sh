# Sourced by bench/window.sh and bench/cli.sh: what both use to run PC
# programs against quillan-simterm and report their figures. Background
# processes kept track of for the clean-up, simulators, one measured transfer
# and its checks, input files, pooled quillan-timings figures, CPU pressure,
# and the parts of the Markdown report the two write alike.
#
# The caller sets build, simterm, bareloop, qtloop, timings_tool, cli (if it
# measures quillan-cli), work (its scratch folder), log, bound_s (the longest a
# simulator or PC program may run, in seconds), programs and title (for the
# turnaround table), and defines fail MESSAGE (does not return) and, for each
# program measured that is not cli, bareloop or qtloop, pc_NAME DIRECTION DEVICE FILE.

# bench/NAME.sh with its arguments, quoted where a shell would need it.
quoted_command() {
  local line=$1 a
  shift
  for a in "$@"; do [[ "$a" =~ ^[A-Za-z0-9_./=,:+-]+$ ]] && line+=" $a" || line+=" '$a'"; done
  echo "$line"
}

# positive_counts MESSAGE N...: exits with MESSAGE unless each N is a positive whole number.
positive_counts() {
  local message=$1 n
  shift
  for n in "$@"; do
    [[ "$n" =~ ^[1-9][0-9]*$ ]] || { echo "$message" >&2; exit 1; }
  done
}

# work_in DIR: a fresh scratch folder in DIR (work, its log file log), gone
# with the background processes when the script ends; and fail MESSAGE, which
# says what the simulators and the log had to say. A script with more to
# clean up or to say defines its own after this.
work_in() {
  mkdir -p "$1"
  dir=$(cd "$1" && pwd)
  work=$(mktemp -d "$dir/run-XXXXXX")
  log="$work/log"
  : >"$log"
  trap 'stop_background; rm -rf "$work"' EXIT
  trap 'exit 130' INT TERM
}
fail() {
  {
    echo "$(basename "$0") FAILED at $(date +%T): $*"
    local f
    for f in "$work"/sim*.err; do [ -e "$f" ] && { echo "--- $f"; cat "$f"; }; done
    echo "--- log"; tail -n 30 "$log" 2>/dev/null || true
  } >&2
  exit 1
}

# built PROGRAM...: exits unless each is there to run.
built() {
  local f
  for f in "$@"; do
    [ -x "$f" ] || { echo "no $f: build first (cmake --build $build)" >&2; exit 1; }
  done
}

# ---------------------------------------------------------------------------
# Every process started in the background, so that the clean-up can end
# exactly those (stop_background).
bg=()
forget() { local p keep=(); for p in "${bg[@]}"; do [ "$p" = "$1" ] || keep+=("$p"); done; bg=("${keep[@]}"); }
stop_background() {
  local p
  for p in "${bg[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${bg[@]}"; do wait "$p" 2>/dev/null || true; done
  bg=()
}

# A PC program in the foreground of this script but as a background job, so
# that a signal to this script is handled at once.
run_pc() {
  local status=0
  echo "$(date +%T) $*" >>"$log"
  timeout "$bound_s" "$@" >>"$log" 2>&1 &
  local p=$!
  bg+=("$p")
  wait "$p" || status=$?
  forget "$p"
  return "$status"
}

# PC programs as measure runs them: pc_NAME DIRECTION DEVICE FILE moves the
# records (upload: into FILE) or lines (download: from FILE) over DEVICE and
# returns once its side of the dialogue is over.
# pc_command PROG DIRECTION DEVICE FILE sets cmd to that command line, for
# callers that run it under a wrapper (perf, strace).
pc_command() {
  case $1 in
    bareloop) cmd=("$bareloop" "$2" "$3" "$4") ;;
    qtloop) cmd=("$qtloop" "$2" "$3" "$4") ;;
    cli) cmd=("$cli" "$2" -p "$3" "$4") ;;
  esac
}
pc_bareloop() { pc_command bareloop "$@" && run_pc "${cmd[@]}"; }
pc_qtloop() { pc_command qtloop "$@" && run_pc "${cmd[@]}"; }
pc_cli() { pc_command cli "$@" && run_pc "${cmd[@]}"; }

# ---------------------------------------------------------------------------
# Other work on the machine shows in every figure: say how busy it was.
load() {
  local psi=""
  [ -r /proc/pressure/cpu ] && psi="; CPU pressure (share of time some task waited for a CPU, last 10 s): $(awk '/^some/ {sub("avg10=","",$2); print $2"%"}' /proc/pressure/cpu)"
  echo "_Load average before this section: $(cut -d' ' -f1-3 /proc/loadavg)${psi}_"
}

lines_in() { if [ -e "$1" ]; then tr -cd '\n' <"$1" | wc -c; else echo 0; fi; }

# Microseconds some task has waited for a CPU since boot (empty without PSI).
cpu_stall_us() { [ -r /proc/pressure/cpu ] && sed -n 's/^some .*total=//p' /proc/pressure/cpu || true; }
# pressure_since STALL0 T0: the share (per cent) of the time since T0 (date
# +%s%N) in which some task waited for a CPU, from cpu_stall_us's STALL0.
pressure_since() {
  awk -v a="$1" -v b="$(cpu_stall_us)" -v t0="$2" -v t1="$(date +%s%N)" \
    'BEGIN { if (a == "" || t1 <= t0) print "?"; else printf "%.0f", 100 * (b - a) / ((t1 - t0) / 1000) }'
}
declare -A pressure
# The pressure during the runs of these keys (timings files or names), as "a–b %".
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
# Simulators. sim_start NAME [options]: a fresh quillan-simterm with its
# device at $work/NAME (sim and sim_name: the latest one); sim_wait NAME: its
# end, checked.
declare -A sim_pid
sim="" sim_name=""
sim_start() {
  local name=$1
  shift
  local device="$work/$name"
  rm -f "$device"
  "$simterm" --link "$device" --exit-when-done --timeout-s "$bound_s" "$@" \
    >"$work/sim-$name.out" 2>"$work/sim-$name.err" &
  sim=$! sim_name=$name
  sim_pid[$name]=$sim
  bg+=("$sim")
  for _ in $(seq 200); do [ -e "$device" ] && break; sleep 0.05; done
  [ -e "$device" ] || fail "the simulator $name did not start"
}
sim_wait() {
  local name=$1 status=0 p=${sim_pid[$1]}
  for _ in $(seq 100); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$p" 2>/dev/null && fail "the simulator $name did not see the end of the transfer"
  wait "$p" || status=$?
  forget "$p"
  cat "$work/sim-$name.err" >>"$log"
  [ "$status" = 0 ] || fail "the simulator $name ended with status $status"
}

# measure PROG DIRECTION FILE TIMINGS [simulator options]: one transfer of
# pc_PROG against a fresh simulator writing TIMINGS, and the CPU pressure
# meanwhile (pressure[TIMINGS]).
sims=0
measure() {
  local prog=$1 direction=$2 file=$3 timings=$4
  shift 4
  sims=$((sims + 1))
  local name="device-$sims"
  rm -f "$timings"
  # Every upload starts without its file (a program may refuse to replace one).
  [ "$direction" != upload ] || rm -f "$file"
  sim_start "$name" --timings "$timings" "$@"
  local stall0 t0
  stall0=$(cpu_stall_us) t0=$(date +%s%N)
  "pc_$prog" "$direction" "$work/$name" "$file" || fail "$prog: $direction failed"
  sim_wait "$name"
  [ -s "$timings" ] || fail "no timings from the simulator"
  pressure[$timings]=$(pressure_since "$stall0" "$t0")
}

# The records the terminal sent, as an upload must have written them.
replied_records() { sed -n 's/^R [0-9]* //p' "$1" | grep -vx -e NEXT -e OVER -e NAK -e ACK | sed 's/$/\r/'; }
# The lines the terminal received in a download, as the input file holds them.
received_lines() { sed -n 's/^M [0-9]* [0-9]* //p' "$1" | sed '1d;$d' | sed 's/$/\r/'; }
check_upload() {
  local who=$1 file=$2 timings=$3 n=$4
  [ "$(lines_in "$file")" = "$n" ] || fail "$who saved $(lines_in "$file") records, not $n"
  cmp -s "$file" <(replied_records "$timings") || fail "$who's file differs from the records the terminal sent"
}
check_download() {
  local who=$1 input=$2 timings=$3
  cmp -s "$input" <(received_lines "$timings") || fail "the terminal did not receive $who's file line for line"
}

# make_input LINES LENGTH FILE: lines of exactly LENGTH bytes plus CR LF, each
# beginning with its number (the layout quillan-bench uses).
make_input() {
  awk -v n="$1" -v len="$2" 'BEGIN {
    a = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcdefghijklmnopqrstuvwxyz"
    for (k = 0; k < 62; ++k) pad[k] = ""
    while (length(pad[0]) < len + 62) pad[0] = pad[0] a
    for (k = 1; k < 62; ++k) pad[k] = substr(pad[0], k + 1)
    for (i = 1; i <= n; ++i) {
      l = sprintf("%010d;", i)
      printf "%s\r\n", substr(l pad[i % 62], 1, len)
    }
  }' >"$3"
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
ratio() { awk -v x="$1" -v y="$2" 'BEGIN { if (y > 0) printf "%.2f", x / y; else print "—" }'; }

# ---------------------------------------------------------------------------
# transfer_rounds TAG COUNT SIZE INPUT RUNS [simulator options]: RUNS rounds
# of each of $programs uploading COUNT records of SIZE bytes, then
# downloading INPUT, each transfer checked; timings in $work/t-TAGup-PROG-ROUND.txt
# and t-TAGdown-…, pooled over the rounds into fig[TAGup-PROG.*] and
# fig[TAGdown-PROG.*]. (Its locals have names of their own: the pc_ functions
# may read the caller's count and size.)
transfer_rounds() {
  local tag=$1 records=$2 length=$3 lines=$4 rounds=$5 round prog
  shift 5
  for round in $(seq "$rounds"); do
    for prog in "${programs[@]}"; do
      measure "$prog" upload "$work/${tag}up-$prog.txt" "$work/t-${tag}up-$prog-$round.txt" --records-count "$records" --record-size "$length" "$@"
      check_upload "$prog" "$work/${tag}up-$prog.txt" "$work/t-${tag}up-$prog-$round.txt" "$records"
    done
    for prog in "${programs[@]}"; do
      measure "$prog" download "$lines" "$work/t-${tag}down-$prog-$round.txt" "$@"
      check_download "$prog" "$lines" "$work/t-${tag}down-$prog-$round.txt"
    done
  done
  for prog in "${programs[@]}"; do
    analyse "${tag}up-$prog" upload "$work"/t-"$tag"up-"$prog"-*.txt
    analyse "${tag}down-$prog" download "$work"/t-"$tag"down-"$prog"-*.txt
  done
}

# The table of the turnarounds of transfer_rounds with no TAG, a row for each of $programs.
turnaround_table() {
  local p u d
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
}

# A line for each of $programs: its whole upload and download of transfer_rounds with no TAG.
whole_transfers() {
  local p
  for p in "${programs[@]}"; do
    printf -- '- %s: upload %s s (%.0f records/s), download %s s (%.0f lines/s)\n' "${title[$p]}" \
      "${fig[up-$p.seconds]}" "${fig[up-$p.rate]}" "${fig[down-$p.seconds]}" "${fig[down-$p.rate]}"
  done
}

# ---------------------------------------------------------------------------
# The report goes to stdout and to FILE from report_begin FILE to report_end.
report_begin() {
  exec 3>&1
  exec > >(tee "$1")
  report_writer=$!
}
report_end() {
  exec >&3 3>&-
  # The report's writer ends once it has everything.
  wait "$report_writer" 2>/dev/null || true
}

# report_machine COMMAND: the report's lines on the command, the machine, the
# build and the source (a git checkout's commit). Returns 1, with src set to
# the source folder, when that is not a git checkout.
report_machine() {
  echo "- Command: \`$1\`"
  echo "- CPU: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores; $(lscpu | sed -n 's/^Hypervisor vendor: *//p' | sed 's/^\(.\+\)$/virtual machine (\1)/')"
  echo "- Kernel: $(uname -sr)"
  if [ -x "$build/quillan-bench" ]; then
    echo "- $("$build/quillan-bench" info 2>/dev/null)"
  else
    echo "- Qt $(dpkg-query -W -f '${Version}' libqt6core6 2>/dev/null || echo '?'), build type $(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")"
  fi
  src=$(sed -n 's/^CMAKE_HOME_DIRECTORY:[A-Z]*=//p' "$build/CMakeCache.txt")
  if [ -n "$src" ] && [ "$(git -C "$src" rev-parse --show-toplevel 2>/dev/null)" = "$src" ]; then
    local rev
    rev=$(git -C "$src" log -1 --format='%h of %cs')
    [ -z "$(git -C "$src" status --porcelain --untracked-files=no 2>/dev/null)" ] || rev="$rev, with uncommitted changes"
    echo "- Source: $src at commit $rev"
  else
    return 1
  fi
}
