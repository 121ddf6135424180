#!/usr/bin/env bash
# The Windows stage of ./test.sh: cross-builds the three programs and the
# suites that need no pseudo-terminal with MinGW against the Qt for Windows in
# ../shared/toolchains (or QUILLAN_WIN_QT: that Qt's folder or tarball), makes
# the installer and the ZIP, and runs them under Wine: the suites, quillan-cli,
# transfers against quillan-simterm through COM1 (into files, an SQLite file
# and a throwaway PostgreSQL server), the windows under Xvfb, and the
# installer with its uninstaller. Without that Qt it says why and skips;
# with CI=true it fails instead. The version, the installer's name and the
# windows' captions are the build's (its CPackConfig.cmake).
#
#   QUILLAN_WIN_QT          Qt for Windows: a folder (win-qt/) or its .tar.zst
#   QUILLAN_WIN_BUILD_DIR   build folder (build-win); screenshots go to its screenshots/
#   QUILLAN_BUILD_DIR       the Linux build that has quillan-simterm (build)
#   QUILLAN_WINE_SHIM       folder of the test-only wine-serial-shim (../shared/toolchains/wine-serial-shim)
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

qt=${QUILLAN_WIN_QT:-$(ls -d ../shared/toolchains/qt-*-mingw-w64-x86_64.tar.zst 2>/dev/null | head -n1 || true)}
if [ -z "$qt" ] || [ ! -e "$qt" ]; then
  why="no Qt for Windows (../shared/toolchains/qt-*-mingw-w64-x86_64.tar.zst, or QUILLAN_WIN_QT naming a folder or tarball)"
  [ "${CI:-}" != true ] || { echo "Windows stage: $why; CI requires this stage" >&2; exit 1; }
  echo "Windows stage skipped: $why"
  exit 0
fi
shim=${QUILLAN_WINE_SHIM:-../shared/toolchains/wine-serial-shim}
bash scripts/ensure-packages.sh g++-mingw-w64-x86-64-posix wine64 wine nsis zstd qt6-base-dev qt6-base-dev-tools \
  xvfb xauth xdotool openbox imagemagick python3 sqlite3 postgresql-15

mkdir -p "${QUILLAN_WIN_BUILD_DIR:-build-win}"
build=$(cd "${QUILLAN_WIN_BUILD_DIR:-build-win}" && pwd)
linux_build=${QUILLAN_BUILD_DIR:-build}
work=$build/wine-stage
shots=$build/screenshots
wine=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver64
[ -x "$server" ] || server=$(command -v wineserver)
# Wine: quiet, no offer to install Mono or Gecko, and Qt's variables under
# the WINE prefix that Wine strips (it drops QT_* from the environment).
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEQT_FORCE_STDERR_LOGGING=1
unset QT_QPA_PLATFORM DISPLAY

# Every Wine call runs in $prefix: the tests' prefix, or (prefix=... w ...)
# another. ws -k stops its server, ws -w waits until it has ended.
prefix=$work/prefix
w() { WINEPREFIX=$prefix "$wine" "$@"; }
ws() { WINEPREFIX=$prefix "$server" "$1" 2>/dev/null || true; }
simterm_pid="" x_pids=()
cleanup() {
  # The Wine servers first: they must not outlive the pseudo-terminal they hold.
  prefix=$work/prefix ws -k
  prefix=$work/prefix-install ws -k
  for p in $simterm_pid "${x_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

rm -rf "$work" "$shots"
mkdir -p "$work" "$shots"
# Two fresh prefixes, made while the build runs: one for the tests, one that
# sees nothing but the installer.
boots=()
for p in prefix prefix-install; do
  (prefix=$work/$p w wineboot -i >"$work/wineboot-$p.log" 2>&1) &
  boots+=($!)
done

# --- Build
if [ -d "$qt" ]; then
  qtdir=$(cd "$qt" && pwd)
else
  qtdir=$build/win-qt
  stamp="$(realpath "$qt") $(stat -c '%s %Y' "$qt")"
  if [ "$(cat "$build/win-qt.stamp" 2>/dev/null)" != "$stamp" ]; then
    rm -rf "$qtdir"
    tar -x -f "$qt" -C "$build"
    echo "$stamp" >"$build/win-qt.stamp"
  fi
fi
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -G Ninja "${launcher[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$qtdir/lib/cmake/Qt6/qt.toolchain.cmake" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-Wno-attributes -DQUILLAN_BUILD_BENCH=OFF >/dev/null
cmake --build "$build"
(cd "$build" && cpack -G "NSIS;ZIP" >"$work/cpack.log") || { cat "$work/cpack.log"; exit 1; }
cpack_var() { sed -n "s/^set($1 \"\(.*\)\")\$/\1/p" "$build/CPackConfig.cmake"; }
version=$(cpack_var CPACK_PACKAGE_VERSION)
folder=$(cpack_var CPACK_PACKAGE_INSTALL_DIRECTORY) # in Program Files
installer=$build/$(cpack_var CPACK_PACKAGE_FILE_NAME).exe
# The windowed programs, each followed by its caption.
IFS=';' read -r -a captions <<<"$(cpack_var CPACK_PACKAGE_EXECUTABLES)"
{ [ -n "$version" ] && [ -n "$folder" ] && [ ${#captions[@]} -ge 2 ] && [ -f "$installer" ] && [ -f "${installer%.exe}.zip" ]; } \
  || { echo "Windows stage: cpack made no installer and ZIP, or CPackConfig.cmake lacks what they are" >&2; exit 1; }
# What the installer installs, as a folder to run from.
cmake --install "$build" --prefix "$work/deploy" >/dev/null
deploy=$work/deploy/bin
[ -x "$linux_build/quillan-simterm" ] || cmake --build "$linux_build" --target quillan-simterm
simterm=$(cd "$linux_build" && pwd)/quillan-simterm
wait "${boots[@]}"

passed=0 failed=0
# check NAME FUNCTION [ARGS]: runs one check, its output kept in NAME.log.
check() {
  local name=$1 status=0
  shift
  ("$@") >"$work/$name.log" 2>&1 || status=$?
  case $status in
    0) echo "ok   $name" && passed=$((passed + 1)) ;;
    *) echo "FAIL $name" && sed 's/^/     /' "$work/$name.log" | tail -n 40 && failed=$((failed + 1)) ;;
  esac
}
# no MESSAGE: ends a check (each runs in a subshell of its own), saying why it failed.
no() { echo "$*"; exit 1; }
# A Windows path for a Linux one (Wine's Z: drive is /).
winpath() { printf 'Z:%s' "${1//\//\\}"; }
cli() { w "$deploy/quillan-cli.exe" "$@"; }
# The same with the test-only serial shim beside a copy of the programs; a
# command, not a function, so that a job started with it is the program itself.
shim_cli=(env "WINEDLLOVERRIDES=version=n,b;$WINEDLLOVERRIDES" WINEPREFIX="$prefix" "$wine" "$work/shim-run/quillan-cli.exe")
# expect_status STATUS COMMAND...: stdout and stderr without Windows' CRs in out and err.
expect_status() {
  local want=$1 got=0
  shift
  "$@" >"$work/out.txt" 2>"$work/err.txt" || got=$?
  tr -d '\r' <"$work/out.txt" >"$work/out" && tr -d '\r' <"$work/err.txt" >"$work/err"
  echo "\$ $* -> $got"
  cat "$work/out" "$work/err"
  [ "$got" = "$want" ] || no "expected exit status $want"
}
# poll TENTHS COMMAND...: until COMMAND succeeds, for at most TENTHS tenths of a second.
poll() { local n=$1; shift; until "$@"; do ((n-- > 0)) || return 1; sleep 0.1; done; }
# records FILE: how many whole records (CR LF) FILE holds, when that is all it holds.
records() { [ "$(grep -c $'\r$' "$1")" = "$(wc -l <"$1")" ] && wc -l <"$1"; }

# COM1 (and COM11: a port above COM9 is opened as \\.\COM11) is quillan-simterm's
# pseudo-terminal, through Wine's Ports key; the server is restarted to take it.
stop_terminal() { [ -z "$simterm_pid" ] || { ws -k; kill "$simterm_pid"; wait "$simterm_pid" || true; simterm_pid=""; }; }
start_terminal() {
  stop_terminal
  rm -f "$work/com1"
  "$simterm" --link "$work/com1" --timeout-s 300 "$@" >"$work/simterm.out" 2>"$work/simterm.err" &
  simterm_pid=$!
  poll 100 test -e "$work/com1"
  for com in COM1 COM11; do
    w reg add 'HKLM\Software\Wine\Ports' /v $com /t REG_SZ /d "$work/com1" /f >/dev/null
  done
  ws -k
  ws -w
}

# --- The suites, through CMake's emulator (wine64) with the Qt and MinGW DLLs on Wine's PATH.
check suites env WINEPREFIX="$prefix" \
  WINEPATH="$(winpath "$qtdir/bin");$(winpath "$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")");$(winpath /usr/x86_64-w64-mingw32/lib)" \
  ctest --test-dir "$build" --output-on-failure -j2

# --- quillan-cli: version, help, usage errors (exit 2, nothing created).
cli_version() { expect_status 0 cli --version && [ "$(cat "$work/out")" = "quillan-cli $version" ]; }
cli_help() { expect_status 0 cli --help && head -n1 "$work/out" | grep -q '^Usage:'; }
usage_errors() {
  mkdir -p "$work/usage" && cd "$work/usage"
  for args in "" "fetch x" "upload --zap x" "upload -p COM1" "download a b" "upload --force --append x" \
              "upload -t -1 x" "ports --assign COM2"; do
    # shellcheck disable=SC2086 # the words are the arguments
    expect_status 2 cli $args || return 1
    grep -q '^quillan-cli: ' "$work/err" || no "no \"quillan-cli: \" message"
  done
  [ -z "$(ls -A)" ] || no "a usage error left files:" "$(ls -A)"
}
check cli-version cli_version
check cli-help cli_help
check cli-usage-errors usage_errors

# --- Port assignment: stored per user in the registry, read back with reg.
assignment() {
  local key='HKCU\Software\quillan\ports'
  expect_status 0 cli ports --assign COM2 COM11 || return 1
  w reg query "$key" /v COM2 | tr -d '\r' | tee "$work/reg.txt"
  grep -Eq '^ +COM2 +REG_SZ +COM11$' "$work/reg.txt" || no "COM2 is not COM11 in the registry"
  expect_status 0 cli ports --assign COM2 '\\.\COM12' || return 1
  w reg query "$key" /v COM2 | tr -d '\r' | grep -Eq ' COM12$' || no "\\\\.\\COM12 is not stored as COM12"
  expect_status 0 cli ports --assign COM2 --clear || return 1
  ! w reg query "$key" /v COM2 >/dev/null 2>&1 || no "COM2 is still in the registry"
}
check cli-assign-registry assignment

start_terminal --records-count 300 --record-size 24 --store "$work/store.txt" --transcript "$work/transcript.txt"

# --- `ports` lists COM1 (Wine's view of the pseudo-terminal) and COM11 with their description column.
cli_ports() { expect_status 0 cli ports && grep -q '^COM1'$'\t' "$work/out" && grep -q '^COM11'$'\t' "$work/out"; }
check cli-ports cli_ports

# --- A port that does not exist: the message lists the ports that do.
missing_port() {
  QUILLAN_COM2=COM42 expect_status 4 cli upload -p COM2 "$work/none.txt" || return 1
  grep -q 'COM42 does not exist' "$work/err" && grep -Eq 'Serial devices found on this computer: +COM1' "$work/err" \
    || no "the message should say COM42 does not exist and list COM1"
  ! grep -q '\.\.' "$work/err" || no "a doubled period"
  [ ! -e "$work/none.txt" ]
}
check cli-missing-port missing_port

# --- Without the shim Wine never reports received bytes (see README.windows.md):
# the upload opens COM1 although the driver refuses DTR, sends READ, and times out.
bare_upload() {
  expect_status 6 cli upload -p COM1 -t 1 "$work/bare.txt" || return 1
  grep -q 'READ' "$work/transcript.txt" || no "the terminal got no READ"
}
check cli-upload-opens-com1 bare_upload

# --- Whole transfers with the test-only shim standing in for the completion
# Windows posts (README.windows.md): 300 records up through COM1, the same 300
# lines down through COM11 (made the program's COM2), byte-identical at the terminal.
shim_copy() {
  [ -f "$shim/version.dll" ] || no "no $shim/version.dll"
  rm -rf "$work/shim-run" && cp -r "$deploy" "$work/shim-run" && cp "$shim/version.dll" "$work/shim-run/"
}
shim_transfers() {
  shim_copy
  expect_status 0 "${shim_cli[@]}" upload -p COM1 "$work/up.txt" || return 1
  [ "$(records "$work/up.txt")" = 300 ] || no "expected 300 records in up.txt"
  QUILLAN_COM2=COM11 expect_status 0 "${shim_cli[@]}" download -p COM2 "$work/up.txt" || return 1
  grep -q 'COM2 (COM11): 300 lines sent' "$work/err" || no "not sent through COM11"
  cmp "$work/up.txt" "$work/store.txt" || no "the terminal's copy differs"
}
check cli-transfers-with-shim shim_transfers

# ctrl_c STATUS UNTIL ARGS...: quillan-cli ARGS with the shim until the command
# UNTIL succeeds, then Ctrl-C (Wine turns SIGINT into the console's
# CTRL_C_EVENT), which must end it with STATUS; its stderr in err.
ctrl_c() {
  local want=$1 until=$2 pid status=0
  shift 2
  "${shim_cli[@]}" "$@" >"$work/out.txt" 2>"$work/err.txt" &
  pid=$!
  poll 300 "$until"
  kill -INT "$pid"
  wait "$pid" || status=$?
  tr -d '\r' <"$work/err.txt" | tee "$work/err"
  [ "$status" = "$want" ] || no "exit status $status, expected $want"
}

# --- Ctrl-C ends an upload between two messages: exit 130, every record it
# reports is in the file.
start_terminal --records-count 3000 --record-size 20 --delay-ms 5
ctrl_c_upload() {
  local saved
  started() { test -s "$work/interrupted.txt"; }
  ctrl_c 130 started upload -p COM1 "$work/interrupted.txt"
  saved=$(sed -n 's/.*interrupted; \([0-9]*\) records saved.*/\1/p' "$work/err")
  [ -n "$saved" ] && [ "$saved" -gt 0 ] && [ "$saved" -lt 3000 ] || no "no count of saved records"
  [ "$(records "$work/interrupted.txt")" = "$saved" ] || no "the file does not hold exactly $saved whole records"
}
check cli-ctrl-c ctrl_c_upload

# --- collect watches COM1 until Ctrl-C, which ends it as SIGTERM does (exit 0),
# with each of the terminal's records in the file once.
start_terminal --records-count 50 --record-size 20
collect_run() {
  all_in() { [ "$(records "$work/collected.txt" 2>/dev/null)" = 50 ]; }
  ctrl_c 0 all_in collect -p COM1 --interval 1 "$work/collected.txt"
  [ "$(records "$work/collected.txt")" = 50 ] || no "collected.txt does not hold the 50 records once each"
}
check cli-collect collect_run

# --- Only quillan-cli reaches databases: it imports Qt SQL and libpq, the windows do not.
store_imports() {
  imports() { x86_64-w64-mingw32-objdump -p "$deploy/$1.exe" | sed -n 's/^\tDLL Name: //p' | tr 'A-Z' 'a-z'; }
  imports quillan-cli | tee "$work/imports.txt"
  grep -qx qt6sql.dll "$work/imports.txt" && grep -qx libpq.dll "$work/imports.txt" || no "quillan-cli.exe has no database output"
  for ((i = 0; i < ${#captions[@]}; i += 2)); do
    ! imports "${captions[i]}" | grep -E '^(qt6sql|libpq)\.dll$' || no "${captions[i]}.exe links the database libraries"
  done
}
check store-only-in-cli store_imports

# --- Uploads into databases from the package's copy (with the shim): records of
# every byte but CR and LF, read back on Linux each once, in order, byte for byte.
python3 - "$work/db-records" <<'EOF'
import random, sys
rnd = random.Random(5)
alphabet = [b for b in range(1, 256) if b not in (10, 13)]
with open(sys.argv[1], 'wb') as f:
    for i in range(1, 201):
        f.write(b'%04d;' % i + bytes(rnd.choice(alphabet) for _ in range(rnd.randint(0, 40))) + b'\r\n')
EOF
# same_records HEX: the file HEX (each row's record in hex, one a line, in
# row order) holds exactly the terminal's records.
same_records() {
  python3 - "$work/db-records" "$1" <<'EOF'
import sys
want = open(sys.argv[1], 'rb').read().split(b'\r\n')[:-1]
got = [bytes.fromhex(line) for line in open(sys.argv[2]).read().splitlines()]
bad = [i + 1 for i in range(max(len(want), len(got))) if want[i:i + 1] != got[i:i + 1]]
print(f'{len(got)} rows for {len(want)} records' + (f'; first difference at row {bad[0]}' if bad else ''))
sys.exit(1 if bad else 0)
EOF
}
# An SQLite file on Windows' C: drive, named with its drive letter.
sqlite_upload() {
  local db=$prefix/drive_c/records/records.db
  rm -rf "$prefix/drive_c/records" && mkdir -p "$prefix/drive_c/records"
  shim_copy
  local status=0
  # The rows are read even when the program fails, to say which part did.
  (expect_status 0 timeout 60 "${shim_cli[@]}" upload -p COM1 sqlite:C:/records/records.db) || status=1
  sqlite3 "$db" 'SELECT hex(record) FROM records ORDER BY id' >"$work/sqlite-rows.txt" || no "cannot read $db"
  same_records "$work/sqlite-rows.txt" && return $status
}
start_terminal --records "$work/db-records"
check cli-upload-sqlite sqlite_upload

# A throwaway PostgreSQL server run as nobody, on 127.0.0.1 and a socket in its
# folder, stopped and removed when the check ends. The URI has no password:
# libpq on Windows takes it from %APPDATA%\postgresql\pgpass.conf.
postgresql_upload() {
  # Not local: the EXIT trap that stops the server runs after this function returns.
  local bin port appdata uri status=0
  pg_pid=""
  bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n1)
  pg=$(mktemp -d /tmp/quillan-pg.XXXXXX)
  # A command prefix, not a function: started with &, $! must be the server itself.
  local as_pg=()
  [ "$(id -u)" != 0 ] || as_pg=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
  pg_stop() {
    if [ -n "$pg_pid" ]; then
      kill -INT "$pg_pid" 2>/dev/null # a fast shutdown
      poll 300 eval '! kill -0 "$pg_pid" 2>/dev/null' || kill -KILL "$pg_pid" 2>/dev/null
      wait "$pg_pid" 2>/dev/null
    fi
    rm -rf "$pg"
  }
  trap pg_stop EXIT
  [ "$(id -u)" != 0 ] || chown nobody "$pg"
  "${as_pg[@]}" "$bin/initdb" -D "$pg/data" -U postgres -A trust --no-sync -E UTF8 --locale=C >"$pg/initdb.log" 2>&1 \
    || no "initdb failed:" "$(cat "$pg/initdb.log")"
  printf 'local all postgres trust\nhost quillan writer 127.0.0.1/32 scram-sha-256\n' >"$pg/data/pg_hba.conf"
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  "${as_pg[@]}" "$bin/postgres" -D "$pg/data" -k "$pg" -p "$port" -c listen_addresses=127.0.0.1 >"$pg/log" 2>&1 &
  pg_pid=$!
  sql() { psql -X -q -v ON_ERROR_STOP=1 -h "$pg" -p "$port" -U postgres "$@"; }
  poll 300 eval 'sql -c "SELECT 1" >/dev/null 2>&1' || no "the server did not start:" "$(cat "$pg/log")"
  sql -c "CREATE ROLE writer LOGIN PASSWORD 'Quill-Pw-93'" -c 'CREATE DATABASE quillan OWNER writer' || return 1
  appdata=$(w cmd /c echo %APPDATA% | tr -d '\r')
  appdata=$(w winepath -u "$appdata" | tr -d '\r')
  mkdir -p "$appdata/postgresql" && printf '127.0.0.1:%s:quillan:writer:Quill-Pw-93\n' "$port" >"$appdata/postgresql/pgpass.conf"
  shim_copy
  uri=postgresql://writer@127.0.0.1:$port/quillan
  (expect_status 0 timeout 60 "${shim_cli[@]}" upload -p COM1 "$uri") || status=1
  sql -d quillan -At -c 'SELECT encode(record, $$hex$$) FROM records ORDER BY id' >"$work/pg-rows.txt" || return 1
  same_records "$work/pg-rows.txt" && return $status
}
start_terminal --records "$work/db-records"
check cli-upload-postgresql postgresql_upload

stop_terminal

# --- The windows under Xvfb with a window manager.
start_x() {
  local fifo=$work/displayfd number
  rm -f "$fifo" && mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  x_pids+=($!)
  read -r -t 20 number <"$fifo"
  rm -f "$fifo"
  export DISPLAY=":$number"
  poll 100 xdotool getdisplaygeometry >/dev/null 2>&1
  openbox >/dev/null 2>&1 &
  x_pids+=($!)
  sleep 0.3
}
start_x
# wait_window NAME [TENTHS]: the first visible window whose name matches NAME.
visible() { [ -n "$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n1 | tee "$work/window")" ]; }
wait_window() {
  poll "${2:-200}" visible "$1" && cat "$work/window" && return 0
  echo "window \"$1\" did not appear; there are:" >&2
  xdotool search --onlyvisible --name . 2>/dev/null | while read -r x; do xdotool getwindowname "$x"; done >&2
  return 1
}
focus() {
  for i in $(seq 50); do
    [ "$(xdotool getactivewindow 2>/dev/null)" = "$1" ] && return 0
    [ $((i % 10)) = 1 ] && xdotool windowactivate "$1" 2>/dev/null || true
    sleep 0.1
  done
  no "window $1 did not get the focus"
}
shot() { sleep 0.5; import -window root "$shots/$1.png"; }
# gui PROGRAM CAPTION: the main window by its caption, Upload (Alt+U) and
# Download (Alt+D) by their access keys; in quillan1, View opens the chosen
# file (a name with a space) in NOTEPAD.EXE.
gui() {
  local program=$1 caption=$2 main upload download dialog
  w "$deploy/$program.exe" >"$work/$program.log" 2>&1 &
  main=$(wait_window "^$caption\$" 300) && focus "$main" || return 1
  shot "win-$program-main"
  xdotool key alt+u
  upload=$(wait_window '^Upload from terminal$') && focus "$upload" || return 1
  shot "win-$program-upload"
  xdotool key alt+F4
  focus "$main" || return 1
  xdotool key alt+d
  download=$(wait_window '^DownLoad to terminal$') && focus "$download" || return 1
  shot "win-$program-download"
  if [ "$program" = quillan1 ]; then
    printf 'viewed line\r\n' >"$work/view me.txt"
    xdotool key alt+v
    dialog=$(wait_window 'Open|View') && focus "$dialog" || return 1
    xdotool type --delay 20 "$(winpath "$work/view me.txt")"
    xdotool key Return
    wait_window 'view me.*Notepad' 200 >/dev/null || return 1
    shot "win-$program-notepad"
  fi
  ws -k
}
for ((i = 0; i < ${#captions[@]}; i += 2)); do
  check "gui-${captions[i]}" gui "${captions[i]}" "${captions[i + 1]}"
done

# --- The installer, silently into a prefix that has seen nothing else, with
# its bin folder put on the machine's PATH (/ADD_TO_PATH=ALL): every file in
# 64-bit Program Files, the Start-menu entries, quillan-cli found from any
# console; then the uninstaller, which takes all of it away again.
install_cycle() {
  local prefix=$work/prefix-install dir i
  local env='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'
  local bin="C:\\Program Files\\$folder\\bin"
  w "$installer" /S /ADD_TO_PATH=ALL || return 1
  ws -w
  dir="$prefix/drive_c/Program Files/$folder"
  for f in $(cd "$work/deploy" && find . -type f | sort); do
    [ -f "$dir/$f" ] || no "not installed: $f"
  done
  [ -f "$dir/Uninstall.exe" ] || no "no uninstaller"
  find "$prefix/drive_c" -name '*.lnk' | tee "$work/links.txt"
  for ((i = 1; i < ${#captions[@]}; i += 2)); do
    grep -qF "/${captions[i]}.lnk" "$work/links.txt" || no "no Start-menu entry \"${captions[i]}\""
  done
  w reg query "$env" /v Path | tr -d '\r' | tee "$work/path.txt"
  grep -qF "$bin" "$work/path.txt" || no "$bin is not on the machine's PATH"
  expect_status 0 w cmd /c quillan-cli --version && [ "$(cat "$work/out")" = "quillan-cli $version" ] \
    || no "quillan-cli is not found on PATH"
  w "$dir/Uninstall.exe" /S || return 1
  # The uninstaller runs from a copy of itself and returns at once.
  poll 300 test ! -e "$dir"
  ws -w
  [ ! -e "$dir" ] || no "left behind:" "$(find "$dir")"
  while read -r link; do [ ! -e "$link" ] || no "left behind: $link"; done <"$work/links.txt"
  ! w reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$(cpack_var CPACK_PACKAGE_INSTALL_REGISTRY_KEY)" >/dev/null 2>&1 \
    || no "the uninstall entry is still in the registry"
  ! w reg query "$env" /v Path | tr -d '\r' | grep -qF "$bin" || no "the uninstaller left $bin on PATH"
}
check installer install_cycle

size=$(stat -c %s "$installer")
echo "Windows stage: installer $(basename "$installer") $((size / 1024)) KiB, $((SECONDS - started)) s; screenshots in $shots"
echo "Windows: $passed passed, $failed failed"
[ "$failed" = 0 ]
