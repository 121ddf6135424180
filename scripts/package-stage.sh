#!/usr/bin/env bash
# The package stage of ./test.sh: builds the Debian packages, has lintian check
# them, installs them with apt-get as a user would, runs what was installed,
# validates the installed desktop entries and AppStream files, then purges
# them and checks that nothing of them is left. quillan-collect.service is
# checked as systemd would see it (verify, security) and its command is run as
# the unit runs it, as the user quillan against the simulated terminal. The
# machine keeps the tools this stage installed and whatever the packages
# pulled in, nothing else.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
bash scripts/ensure-packages.sh dpkg-dev lintian man-db desktop-file-utils appstream \
    systemd logrotate socat

dir=${QUILLAN_BUILD_DIR:-build}-deb
packages=(quillan-cli quillan)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
apt=($sudo env DEBIAN_FRONTEND=noninteractive apt-get -y -qq -o DPkg::Lock::Timeout=300)

fail()
{
    echo "package stage: $*" >&2
    exit 1
}
installed()
{
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]
}
# Whatever the packages could leave, by name: the same before and after.
leftovers()
{
    find /usr/bin /usr/share/applications /usr/share/metainfo /usr/share/man/man1 /usr/share/doc \
         /usr/share/bash-completion/completions /usr/share/lintian/overrides /etc /var/lib/dpkg/info \
         /lib/systemd/system /usr/lib/sysusers.d /usr/lib/tmpfiles.d /var/lib/systemd/deb-systemd-helper-enabled \
         -name '*quillan*' 2>/dev/null | sort || true
    find /var/lib /var/log -maxdepth 1 -name '*quillan*' | sort
    getent passwd quillan || true
    getent group quillan dialout || true
    dpkg-query -W -f='${binary:Package} ${db:Status-Abbrev}\n' "${packages[@]}" 2>/dev/null | sort || true
}

for p in "${packages[@]}"; do
    # Installing over it and purging it afterwards would not leave the machine as found.
    installed "$p" && fail "$p is installed on this machine already; purge it first (apt-get purge $p)"
done
before=$(leftovers)

QUILLAN_DEB_DIR=$dir bash scripts/build-deb.sh
version=$(dpkg-deb -f "$dir"/quillan-cli_*.deb Version)
cli_deb=$(realpath "$dir/quillan-cli_${version}_amd64.deb")
gui_deb=$(realpath "$dir/quillan_${version}_amd64.deb")

echo "== contents"
for deb in "$cli_deb" "$gui_deb"; do
    echo "$(basename "$deb"): $(stat -c %s "$deb") bytes, Installed-Size $(dpkg-deb -f "$deb" Installed-Size) KiB"
    echo "  Depends: $(dpkg-deb -f "$deb" Depends)"
    dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { printf "  %9d %s\n", $3, $6 }'
done
# The command line must stay installable on a machine without a desktop.
grep -Eq 'libqt6(widgets|gui)' <<<"$(dpkg-deb -f "$cli_deb" Depends)" && fail "quillan-cli depends on Qt Gui or Widgets"

echo "== lintian"
lintian --fail-on error,warning --display-info "$cli_deb" "$gui_deb"
# Shown overridden tags would count as warnings above; listed here for the log.
lintian --show-overrides "$cli_deb" "$gui_deb" 2>/dev/null | grep '^O:' || true

pids=()
# What a purge leaves by design (the user quillan, records and log) goes when
# this run made it, so that the machine is as found.
forget_service()
{
    grep -q '^quillan:' <<<"$before" || { userdel quillan; groupdel quillan 2>/dev/null || true; }
    local d
    for d in /var/lib/quillan /var/log/quillan; do grep -qx "$d" <<<"$before" || rm -rf "$d"; done
}
stop_helpers()
{
    local p
    for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true # without the shell's "Killed" notices
    pids=()
}
cleanup()
{
    local p
    stop_helpers
    for p in "${packages[@]}"; do
        if installed "$p"; then "${apt[@]}" purge "${packages[@]}" >/dev/null; break; fi
    done
    forget_service 2>/dev/null || true
    [ -z "${tmp:-}" ] || rm -rf "$tmp"
}
trap cleanup EXIT

echo "== install"
# quillan-cli alone first, as on a server, then the windows beside it.
"${apt[@]}" install --no-install-recommends "$cli_deb"
installed quillan && fail "installing quillan-cli brought quillan with it"
"${apt[@]}" install --no-install-recommends "$gui_deb"
for p in "${packages[@]}"; do installed "$p" || fail "$p is not installed"; done
files=$(dpkg -L "${packages[@]}")

echo "== the installed programs"
out=$(/usr/bin/quillan-cli --version)
echo "$out"
[ "$out" = "quillan-cli ${version%-*}" ] || fail "/usr/bin/quillan-cli --version says \"$out\", the package is $version"
for program in /usr/bin/quillan-cli /usr/bin/quillan1 /usr/bin/quillan; do
    missing=$(ldd "$program" | grep 'not found' || true)
    [ -z "$missing" ] || fail "$program lacks libraries the package should have pulled in:"$'\n'"$missing"
done
grep -Eq 'libQt6(Widgets|Gui)' <<<"$(ldd /usr/bin/quillan-cli)" && fail "/usr/bin/quillan-cli links Qt Gui or Widgets"

echo "== manual pages"
for page in quillan-cli quillan1 quillan; do
    [ "$(man -w "$page")" = "/usr/share/man/man1/$page.1.gz" ] || fail "man finds $page at $(man -w "$page")"
    warnings=$(MANWIDTH=80 man --warnings -E UTF-8 "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man $page warns:"$'\n'"$warnings"
done
text=$(MANPAGER=cat MANWIDTH=80 man quillan-cli)
sed -n 1,12p <<<"$text"
text=$(tr -s ' ' <<<"$text") # justified lines have more spaces between words
for want in '^QUILLAN-CLI\(1\)' '^NAME' 'quillan-cli - move records' '^EXIT STATUS' 'QUILLAN_COMn' 'ports\.conf'; do
    grep -Eq -- "$want" <<<"$text" || fail "man quillan-cli shows no \"$want\""
done

echo "== bash completion"
bash -c 'source /usr/share/bash-completion/completions/quillan-cli && complete -p quillan-cli' \
    || fail "the installed completion does not register for quillan-cli"

echo "== desktop entries and AppStream files where they were installed"
desktop=$(grep -E '^/usr/share/applications/.*\.desktop$' <<<"$files")
meta=$(grep -E '^/usr/share/metainfo/.*\.metainfo\.xml$' <<<"$files")
[ "$(wc -l <<<"$desktop")" -eq 2 ] && [ "$(wc -l <<<"$meta")" -eq 2 ] \
    || fail "expected two desktop entries and two AppStream files, found:"$'\n'"$desktop"$'\n'"$meta"
while read -r f; do
    desktop-file-validate "$f"
    exec=$(sed -n 's/^Exec=//p' "$f")
    [ -x "/usr/bin/$exec" ] || fail "$f starts \"$exec\", which is not in /usr/bin"
done <<<"$desktop"
while read -r f; do
    appstreamcli validate --no-net "$f"
done <<<"$meta"

echo "== quillan-collect.service"
unit=/lib/systemd/system/quillan-collect.service
conf=/etc/default/quillan-collect
perms()  # PATH MODE OWNER:GROUP
{
    [ "$(stat -c '%a %U:%G' "$1")" = "$2 $3" ] || fail "$1 is $(stat -c '%a %U:%G' "$1"), not $2 $3"
}
poll()  # TENTHS COMMAND...: until COMMAND succeeds, for at most TENTHS tenths of a second
{
    local n=$1
    shift
    until "$@"; do ((n-- > 0)) || return 1; sleep 0.1; done
}
[ "$(systemctl is-enabled quillan-collect.service 2>&1)" = disabled ] || fail "$unit is not installed disabled"
id -nG quillan | grep -qw dialout || fail "the user quillan is missing or not in group dialout"
pgrep -u quillan >/dev/null && fail "something runs as quillan after the installation"
out=$(systemd-analyze verify "$unit" 2>&1) && [ -z "$out" ] || fail "systemd-analyze verify $unit:"$'\n'"$out"
out=$(systemd-analyze security --offline=true "$unit")
exposure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p' <<<"$out")
echo "exposure level $exposure (systemd-analyze security)"
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e < 2.0) }' || fail "exposure level \"$exposure\", not below 2.0:"$'\n'"$out"
for f in "$conf" /etc/logrotate.d/quillan-collect; do
    dpkg-query -W -f='${Conffiles}\n' quillan-cli | grep -q "^ $f " || fail "$f is not a conffile of quillan-cli"
done
out=$(logrotate -d /etc/logrotate.d/quillan-collect 2>&1) && ! grep -qi error <<<"$out" \
    || fail "logrotate -d /etc/logrotate.d/quillan-collect:"$'\n'"$out"
for p in "/var/lib/quillan 750" "/var/log/quillan 750" "/var/log/quillan/collect.jsonl 640"; do
    perms $p quillan:quillan # split: PATH MODE
done

# The unit's command as systemd would run it (no systemd runs here): ExecStart=
# with the conffile's values ("${NAME}" one word, "$NAME" split at blanks), as
# User= with its groups, with UMask=, sd_notify's socket and a watchdog. The
# port is the simulated terminal's, its device in group dialout as a serial
# port's is.
tmp=$(mktemp -d) && chmod 755 "$tmp"
seq -f 'service record %03g' 40 | sed 's/$/\r/' >"$tmp/records"
"$dir/quillan-simterm" --records "$tmp/records" --link "$tmp/ttyDOCK" --timeout-s 300 >"$tmp/simterm.out" &
pids+=($!)
socat -u UNIX-RECV:"$tmp/notify" - >"$tmp/notify.txt" &
pids+=($!)
poll 100 test -e "$tmp/ttyDOCK" -a -S "$tmp/notify" || fail "no simulated terminal or no socket for sd_notify"
pty=$(head -n1 "$tmp/simterm.out")
chgrp dialout "$pty" && chmod 660 "$pty" && chmod 666 "$tmp/notify"
set -a && source "$conf" && set +a
PORTS="-p $tmp/ttyDOCK"
argv=()
set -f
for word in $(sed -n 's/^ExecStart=//p' "$unit"); do
    case $word in
        '${'*'}') name=${word:2:-1} && argv+=("${!name}") ;;
        '$'*) name=${word:1} && argv+=(${!name}) ;;
        *'$'*) fail "cannot expand \"$word\" of $unit" ;;
        *) argv+=("$word") ;;
    esac
done
set +f
setting() { sed -n "s/^$1=//p" "$unit"; }
echo "\$ ${argv[*]}"
(umask "$(setting UMask)" && exec env -i PATH=/usr/bin:/bin HOME=/var/lib/quillan NOTIFY_SOCKET="$tmp/notify" \
    WATCHDOG_USEC=2000000 WATCHDOG_PID=$BASHPID setpriv --reuid="$(setting User)" --regid="$(setting Group)" \
    --init-groups -- "${argv[@]}") >"$tmp/collect.out" 2>&1 &
pids+=($!)
records=$(sort "$tmp/records")
state=$(dirname "$FILE")
all_in() { [ "$(cat "$state"/* 2>/dev/null | sort)" = "$records" ] && grep -q WATCHDOG=1 "$tmp/notify.txt"; }
poll 600 all_in || true
kill -TERM "${pids[-1]}"
gone() { ! kill -0 "${pids[-1]}" 2>/dev/null; }
poll 300 gone || fail "the service's command was still running 30 s after SIGTERM"
status=0
wait "${pids[-1]}" || status=$?
cat "$tmp/collect.out"
[ "$status" = 0 ] || fail "SIGTERM ended the service's command with status $status, not 0"
[ "$(cat "$state"/* | sort)" = "$records" ] || fail "$state does not hold the terminal's 40 records once each"
for f in "$state"/* "$LOG"; do perms "$f" 640 quillan:quillan; done
[ -s "$LOG" ] || fail "nothing was logged in $LOG"
logrotate -f -s "$tmp/logrotate.state" /etc/logrotate.d/quillan-collect
[ -s "$LOG.1" ] && [ ! -s "$LOG" ] || fail "logrotate did not rotate $LOG"
perms "$LOG" 640 quillan:quillan
for want in READY=1 WATCHDOG=1 STOPPING=1; do
    grep -q "$want" "$tmp/notify.txt" || fail "the service's command never sent $want to sd_notify's socket"
done
# An administrator's enabling must not outlive the purge.
systemctl enable quillan-collect.service

echo "== purge"
stop_helpers
"${apt[@]}" purge "${packages[@]}"
while read -r f; do
    [ -d "$f" ] && continue
    [ -e "$f" ] || [ -L "$f" ] && fail "$f is still there after the purge"
done <<<"$files"
getent passwd quillan >/dev/null || fail "the purge removed the user quillan, who may own files still"
[ "$(cat "$state"/* | sort)" = "$records" ] && [ -s "$LOG.1" ] || fail "the purge took records or their log"
forget_service
after=$(leftovers)
[ "$before" = "$after" ] || fail "the purge left the machine otherwise than it was:"$'\n'"$(diff <(echo "$before") <(echo "$after"))"

echo "package stage passed in $((SECONDS - started)) s"
