#!/usr/bin/env bash
# The Windows stage of ./test.sh: cross-builds the three programs and the
# suites that need no pseudo-terminal with MinGW against the Qt for Windows in
# ../shared/toolchains (or QUILLAN_WIN_QT: that Qt's folder or tarball), makes
# the installer and the ZIP, and runs them under Wine: the suites, quillan-cli,
# the windows under Xvfb, a transfer against quillan-simterm through COM1, and
# the installer with its uninstaller. Without that Qt it says why and skips;
# with CI=true it fails instead.
#
#   QUILLAN_WIN_QT          Qt for Windows: a folder (win-qt/) or its .tar.zst
#   QUILLAN_WIN_BUILD_DIR   build folder (build-win); screenshots go to its screenshots/
#   QUILLAN_BUILD_DIR       the Linux build that has quillan-simterm (build)
#   QUILLAN_WINE_SHIM       folder of the test-only wine-serial-shim (../shared/toolchains/wine-serial-shim)
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

qt=${QUILLAN_WIN_QT:-}
if [ -z "$qt" ]; then
  qt=$(ls -d ../shared/toolchains/qt-*-mingw-w64-x86_64.tar.zst 2>/dev/null | head -n1 || true)
fi
if [ -z "$qt" ] || [ ! -e "$qt" ]; then
  why="no Qt for Windows (../shared/toolchains/qt-*-mingw-w64-x86_64.tar.zst, or QUILLAN_WIN_QT naming a folder or tarball)"
  if [ "${CI:-}" = true ]; then
    echo "Windows stage: $why; CI requires this stage" >&2
    exit 1
  fi
  echo "Windows stage skipped: $why"
  exit 0
fi
shim=${QUILLAN_WINE_SHIM:-../shared/toolchains/wine-serial-shim}

bash scripts/ensure-packages.sh g++-mingw-w64-x86-64-posix wine64 wine nsis zstd qt6-base-dev qt6-base-dev-tools \
  xvfb xauth xdotool openbox imagemagick

build=${QUILLAN_WIN_BUILD_DIR:-build-win}
linux_build=${QUILLAN_BUILD_DIR:-build}
mkdir -p "$build"
build=$(cd "$build" && pwd)
work=$build/wine-stage
shots=$build/screenshots
wine=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver64
[ -x "$server" ] || server=$(command -v wineserver)

# Wine: quiet, no offer to install Mono or Gecko, and Qt's variables under
# the WINE prefix that Wine strips (it drops QT_* from the environment).
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEQT_FORCE_STDERR_LOGGING=1
unset QT_QPA_PLATFORM DISPLAY

simterm_pid="" xvfb_pid="" wm_pid=""
stop_wine() {
  for p in "$work/prefix" "$work/prefix-install"; do
    [ -d "$p" ] && WINEPREFIX=$p "$server" -k 2>/dev/null || true
  done
}
cleanup() {
  # The Wine server first: it must not outlive the pseudo-terminal it holds.
  stop_wine
  for p in $simterm_pid $wm_pid $xvfb_pid; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

rm -rf "$work" "$shots"
mkdir -p "$work" "$shots"
# Two fresh prefixes, made while the build runs: one for the tests, one that
# sees nothing but the installer.
(WINEPREFIX=$work/prefix "$wine" wineboot -i >"$work/wineboot.log" 2>&1) &
boot1=$!
(WINEPREFIX=$work/prefix-install "$wine" wineboot -i >"$work/wineboot-install.log" 2>&1) &
boot2=$!

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
installer=$build/quillan-1.00-win64.exe
[ -f "$installer" ] && [ -f "$build/quillan-1.00-win64.zip" ]
# What the installer installs, as a folder to run from.
cmake --install "$build" --prefix "$work/deploy" >/dev/null
deploy=$work/deploy/bin
[ -x "$linux_build/quillan-simterm" ] || cmake --build "$linux_build" --target quillan-simterm
simterm=$(cd "$linux_build" && pwd)/quillan-simterm
wait $boot1 $boot2

passed=0 failed=0
check() {
  local name=$1
  shift
  if ("$@") >"$work/$name.log" 2>&1; then
    echo "ok   $name"
    passed=$((passed + 1))
  else
    echo "FAIL $name"
    sed 's/^/     /' "$work/$name.log" | tail -n 40
    failed=$((failed + 1))
  fi
}
# A Windows path for a Linux one (Wine's Z: drive is /).
winpath() { printf 'Z:%s' "${1//\//\\}"; }
# Runs a program in the test prefix; stdout without Windows' CRs.
w() { WINEPREFIX=$work/prefix "$wine" "$@"; }
cli() { w "$deploy/quillan-cli.exe" "$@"; }
expect_status() {
  local want=$1
  shift
  local got=0
  "$@" >"$work/out.txt" 2>"$work/err.txt" || got=$?
  tr -d '\r' <"$work/out.txt" >"$work/out" && tr -d '\r' <"$work/err.txt" >"$work/err"
  echo "\$ $* -> $got"
  cat "$work/out" "$work/err"
  [ "$got" = "$want" ] || { echo "expected exit status $want"; return 1; }
}
# Bounded polls in tenths of a second.
poll() {
  local tenths=$1
  shift
  for _ in $(seq "$tenths"); do "$@" && return 0; sleep 0.1; done
  "$@"
}

# COM1 is quillan-simterm's pseudo-terminal, through Wine's Ports key; the
# server is restarted to take it.
start_terminal() {
  [ -z "$simterm_pid" ] || { WINEPREFIX=$work/prefix "$server" -k || true; kill "$simterm_pid"; wait "$simterm_pid" || true; }
  rm -f "$work/com1"
  "$simterm" --link "$work/com1" --timeout-s 300 "$@" >"$work/simterm.out" 2>"$work/simterm.err" &
  simterm_pid=$!
  poll 100 test -e "$work/com1"
  # COM11 too: a port above COM9 is opened as \\.\COM11.
  for com in COM1 COM11; do
    w reg add 'HKLM\Software\Wine\Ports' /v $com /t REG_SZ /d "$work/com1" /f >/dev/null
  done
  WINEPREFIX=$work/prefix "$server" -k || true
  WINEPREFIX=$work/prefix "$server" -w 2>/dev/null || true
}

# --- The suites, through CMake's emulator (wine64) with the Qt and MinGW DLLs on Wine's PATH.
suites() {
  WINEPREFIX=$work/prefix \
  WINEPATH="$(winpath "$qtdir/bin");$(winpath "$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")");$(winpath /usr/x86_64-w64-mingw32/lib)" \
    ctest --test-dir "$build" --output-on-failure -j2
}
check suites suites

# --- quillan-cli: version, help, usage errors (exit 2, nothing created).
cli_version() { expect_status 0 cli --version && [ "$(cat "$work/out")" = 'quillan-cli 1.00' ]; }
cli_help() { expect_status 0 cli --help && head -n1 "$work/out" | grep -q '^Usage:'; }
usage_errors() {
  mkdir -p "$work/usage" && cd "$work/usage"
  for args in "" "fetch x" "upload --zap x" "upload -p COM1" "download a b" "upload --force --append x" \
              "upload -t -1 x" "ports --assign COM2"; do
    # shellcheck disable=SC2086 # the words are the arguments
    expect_status 2 cli $args || return 1
    grep -q '^quillan-cli: ' "$work/err" || { echo "no \"quillan-cli: \" message"; return 1; }
  done
  [ -z "$(ls -A)" ] || { echo "a usage error left files:"; ls -A; return 1; }
}
check cli-version cli_version
check cli-help cli_help
check cli-usage-errors usage_errors

# --- Port assignment: stored per user in the registry, read back with reg.
assignment() {
  expect_status 0 cli ports --assign COM2 COM11 || return 1
  w reg query 'HKCU\Software\quillan\ports' /v COM2 | tr -d '\r' | tee "$work/reg.txt"
  grep -Eq '^ +COM2 +REG_SZ +COM11$' "$work/reg.txt" || { echo "COM2 is not COM11 in the registry"; return 1; }
  expect_status 0 cli ports --assign COM2 '\\.\COM12' || return 1
  w reg query 'HKCU\Software\quillan\ports' /v COM2 | tr -d '\r' | grep -Eq ' COM12$' \
    || { echo "\\\\.\\COM12 is not stored as COM12"; return 1; }
  expect_status 0 cli ports --assign COM2 --clear || return 1
  if w reg query 'HKCU\Software\quillan\ports' /v COM2 >/dev/null 2>&1; then
    echo "COM2 is still in the registry"
    return 1
  fi
}
check cli-assign-registry assignment

start_terminal --records-count 300 --record-size 24 --store "$work/store.txt" --transcript "$work/transcript.txt"

# --- `ports` lists COM1 (Wine's view of the pseudo-terminal) with its description column.
cli_ports() { expect_status 0 cli ports && grep -q '^COM1'$'\t' "$work/out" && grep -q '^COM11'$'\t' "$work/out"; }
check cli-ports cli_ports

# --- A port that does not exist: the message lists the ports that do.
missing_port() {
  QUILLAN_COM2=COM42 expect_status 4 cli upload -p COM2 "$work/none.txt" || return 1
  grep -q 'COM42 does not exist' "$work/err" && grep -Eq 'Serial devices found on this computer: +COM1' "$work/err" \
    || { echo "the message should say COM42 does not exist and list COM1"; return 1; }
  ! grep -q '\.\.' "$work/err" || { echo "a doubled period"; return 1; }
  [ ! -e "$work/none.txt" ]
}
check cli-missing-port missing_port

# --- Without the shim Wine never reports received bytes (see README.windows.md):
# the upload opens COM1 although the driver refuses DTR, sends READ, and times out.
bare_upload() {
  expect_status 6 cli upload -p COM1 -t 1 "$work/bare.txt" || return 1
  grep -q 'READ' "$work/transcript.txt" || { echo "the terminal got no READ"; return 1; }
}
check cli-upload-opens-com1 bare_upload

# --- Whole transfers through COM1 with the test-only shim standing in for the
# completion Windows posts (README.windows.md): 300 records up through COM1,
# 300 lines down through COM11 (made the program's COM2).
shim_transfers() {
  [ -f "$shim/version.dll" ] || { echo "no $shim/version.dll"; return 1; }
  rm -rf "$work/shim-run" && cp -r "$deploy" "$work/shim-run" && cp "$shim/version.dll" "$work/shim-run/"
  local exe="$work/shim-run/quillan-cli.exe"
  WINEDLLOVERRIDES="version=n,b;$WINEDLLOVERRIDES" expect_status 0 w "$exe" upload -p COM1 "$work/up.txt" || return 1
  # The terminal's records, generated as it generates them: compare counts and CR LF endings.
  [ "$(grep -c $'\r$' "$work/up.txt")" = 300 ] || { echo "expected 300 records in up.txt"; return 1; }
  # Download what was uploaded; the terminal stores every line it acknowledged.
  QUILLAN_COM2=COM11 WINEDLLOVERRIDES="version=n,b;$WINEDLLOVERRIDES" \
    expect_status 0 w "$exe" download -p COM2 "$work/up.txt" || return 1
  grep -q 'COM2 (COM11): 300 lines sent' "$work/err" || { echo "not sent through COM11"; return 1; }
  cmp "$work/up.txt" "$work/store.txt" || { echo "the terminal's copy differs"; return 1; }
}
check cli-transfers-with-shim shim_transfers

# --- Ctrl-C (Wine turns SIGINT into the console's CTRL_C_EVENT): the upload
# ends between two messages, exit 130, every record it reports is in the file.
start_terminal --records-count 3000 --record-size 20 --delay-ms 5
ctrl_c() {
  local exe="$work/shim-run/quillan-cli.exe" pid status=0 saved
  WINEDLLOVERRIDES="version=n,b;$WINEDLLOVERRIDES" WINEPREFIX=$work/prefix \
    "$wine" "$exe" upload -p COM1 "$work/interrupted.txt" >"$work/out.txt" 2>"$work/err.txt" &
  pid=$!
  poll 300 test -s "$work/interrupted.txt"
  kill -INT "$pid"
  wait "$pid" || status=$?
  tr -d '\r' <"$work/err.txt" | tee "$work/err"
  [ "$status" = 130 ] || { echo "exit status $status, expected 130"; return 1; }
  saved=$(sed -n 's/.*interrupted; \([0-9]*\) records saved.*/\1/p' "$work/err")
  [ -n "$saved" ] && [ "$saved" -gt 0 ] && [ "$saved" -lt 3000 ] || { echo "no count of saved records"; return 1; }
  [ "$(grep -c $'\r$' "$work/interrupted.txt")" = "$saved" ] && [ "$(wc -l <"$work/interrupted.txt")" = "$saved" ] \
    || { echo "the file does not hold exactly $saved whole records"; return 1; }
}
check cli-ctrl-c ctrl_c

WINEPREFIX=$work/prefix "$server" -k || true
kill "$simterm_pid" 2>/dev/null || true
wait "$simterm_pid" 2>/dev/null || true
simterm_pid=""

# --- The windows under Xvfb with a window manager.
start_x() {
  local fifo=$work/displayfd
  rm -f "$fifo" && mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  xvfb_pid=$!
  local number
  read -r -t 20 number <"$fifo"
  rm -f "$fifo"
  export DISPLAY=":$number"
  poll 100 xdotool getdisplaygeometry >/dev/null 2>&1
  openbox >/dev/null 2>&1 &
  wm_pid=$!
  sleep 0.3
}
start_x
visible() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n1; }
wait_window() {
  local w=""
  for _ in $(seq "${2:-200}"); do
    w=$(visible "$1") && [ -n "$w" ] && { echo "$w"; return 0; }
    sleep 0.1
  done
  echo "window \"$1\" did not appear" >&2
  xdotool search --onlyvisible --name . 2>/dev/null | while read -r x; do xdotool getwindowname "$x"; done >&2
  return 1
}
focus() {
  for i in $(seq 50); do
    [ "$(xdotool getactivewindow 2>/dev/null)" = "$1" ] && return 0
    [ $((i % 10)) = 1 ] && xdotool windowactivate "$1" 2>/dev/null || true
    sleep 0.1
  done
  echo "window $1 did not get the focus"
  return 1
}
shot() { sleep 0.5; import -window root "$shots/$1.png"; }
gui() {
  local program=$1 caption=$2
  w "$deploy/$program.exe" >"$work/$program.log" 2>&1 &
  local main upload download
  main=$(wait_window "^$caption\$" 300) || return 1
  focus "$main" || return 1
  shot "win-$program-main"
  xdotool key alt+u
  upload=$(wait_window '^Upload from terminal$') || return 1
  focus "$upload" || return 1
  shot "win-$program-upload"
  xdotool key alt+F4
  focus "$main" || return 1
  xdotool key alt+d
  download=$(wait_window '^DownLoad to terminal$') || return 1
  focus "$download" || return 1
  shot "win-$program-download"
  # View: the chosen file goes to NOTEPAD.EXE, which opens it.
  if [ "$program" = quillan1 ]; then
    printf 'viewed line\r\n' >"$work/view me.txt"
    xdotool key alt+v
    local dialog
    dialog=$(wait_window 'Open|View') || return 1
    focus "$dialog" || return 1
    xdotool type --delay 20 "$(winpath "$work/view me.txt")"
    xdotool key Return
    wait_window 'view me.*Notepad' 200 >/dev/null || return 1
    shot "win-$program-notepad"
  fi
  WINEPREFIX=$work/prefix "$server" -k || true
}
check gui-quillan1 gui quillan1 DazuzodeRozevidu
check gui-quillan gui quillan "Velmora Communications Utility"

# --- The installer, silently into a prefix that has seen nothing else; then its uninstaller.
install_cycle() {
  local p=$work/prefix-install dir
  WINEPREFIX=$p "$wine" "$installer" /S '/D=C:\quillan' || return 1
  WINEPREFIX=$p "$server" -w
  dir=$p/drive_c/quillan
  for f in $(cd "$work/deploy" && find . -type f | sort); do
    [ -f "$dir/$f" ] || { echo "not installed: $f"; return 1; }
  done
  [ -f "$dir/Uninstall.exe" ] || { echo "no uninstaller"; return 1; }
  find "$p/drive_c" -name '*.lnk' | tee "$work/links.txt"
  grep -q 'DazuzodeRozevidu.lnk' "$work/links.txt" && grep -q 'Velmora Communications Utility.lnk' "$work/links.txt" \
    || { echo "Start-menu entries missing"; return 1; }
  expect_status 0 env WINEPREFIX="$p" "$wine" 'C:\quillan\bin\quillan-cli.exe' --version || return 1
  [ "$(cat "$work/out")" = 'quillan-cli 1.00' ] || return 1
  WINEPREFIX=$p "$wine" 'C:\quillan\Uninstall.exe' /S || return 1
  # The uninstaller runs from a copy of itself and returns at once.
  poll 300 test ! -e "$dir"
  WINEPREFIX=$p "$server" -w
  [ ! -e "$dir" ] || { echo "left behind:"; find "$dir"; return 1; }
  while read -r link; do [ ! -e "$link" ] || { echo "left behind: $link"; return 1; }; done <"$work/links.txt"
  if WINEPREFIX=$p "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\quillan' >/dev/null 2>&1; then
    echo "the uninstall entry is still in the registry"
    return 1
  fi
}
check installer install_cycle

stop_wine
size=$(stat -c %s "$installer")
echo "Windows stage: installer $(basename "$installer") $((size / 1024)) KiB, $((SECONDS - started)) s; screenshots in $shots"
echo "Windows: $passed passed, $failed failed"
[ "$failed" = 0 ]
