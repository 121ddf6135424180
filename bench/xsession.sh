# Sourced by bench scripts that drive a real window: a private Xvfb with
# openbox, and bounded waits for windows by title (the same approach as
# tests/e2e/e2e_transfers.sh). The caller defines fail MESSAGE (does not
# return) and calls x_stop from its own clean-up.

x_server="" x_wm=""

# Starts Xvfb on a display it picks itself (-displayfd: no race with other
# servers), then openbox; exports DISPLAY.
x_start() {
  local tool fifo number
  for tool in Xvfb openbox xdotool import; do
    command -v "$tool" >/dev/null || fail "$tool is needed (apt-get install xvfb openbox xdotool imagemagick)"
  done
  fifo=$(mktemp -u "${TMPDIR:-/tmp}/quillan-xvfb-XXXXXX")
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  x_server=$!
  read -r -t 20 number <"$fifo" || { rm -f "$fifo"; fail "Xvfb did not start"; }
  rm -f "$fifo"
  export DISPLAY=":$number"
  for _ in $(seq 100); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.05; done
  xdotool getdisplaygeometry >/dev/null 2>&1 || fail "Xvfb on $DISPLAY does not answer"
  openbox >/dev/null 2>&1 &
  x_wm=$!
  # openbox announces itself on the root window once it manages windows.
  if command -v xprop >/dev/null; then
    for _ in $(seq 100); do
      xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
      sleep 0.05
    done
  else
    sleep 0.5
  fi
  kill -0 "$x_wm" 2>/dev/null || fail "openbox did not start"
  unset QT_QPA_PLATFORM
}

x_stop() {
  [ -z "$x_wm" ] || kill "$x_wm" 2>/dev/null || true
  [ -z "$x_server" ] || kill "$x_server" 2>/dev/null || true
  [ -z "$x_wm" ] || wait "$x_wm" 2>/dev/null || true
  [ -z "$x_server" ] || wait "$x_server" 2>/dev/null || true
  x_wm="" x_server=""
}

# Bounded polls in tenths of a second: nothing here may wait for ever.
visible() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1; }
wait_window() {
  local title=$1 tenths=${2:-300} w=""
  for _ in $(seq "$tenths"); do
    w=$(visible "$title") && [ -n "$w" ] && { echo "$w"; return 0; }
    sleep 0.1
  done
  return 1
}
wait_gone() {
  local title=$1 tenths=${2:-300}
  for _ in $(seq "$tenths"); do
    [ -z "$(visible "$title")" ] && return 0
    sleep 0.1
  done
  return 1
}
# Keys go to whichever window has the focus: make sure it is the right one.
focus() {
  local w=$1 i
  for i in $(seq 100); do
    [ "$(xdotool getactivewindow 2>/dev/null)" = "$w" ] && return 0
    [ $((i % 10)) = 1 ] && { xdotool windowactivate "$w" 2>/dev/null || true; }
    sleep 0.1
  done
  return 1
}
# What is on screen, for a failure report.
windows_on_screen() {
  local w
  for w in $(xdotool search --onlyvisible --name . 2>/dev/null); do echo "$w $(xdotool getwindowname "$w" 2>/dev/null)"; done
}
