#!/usr/bin/env bash
# The package stage of ./test.sh: builds the Debian packages, has lintian check
# them, installs them with apt-get as a user would, runs what was installed,
# validates the installed desktop entries and AppStream files, then purges
# them and checks that nothing of them is left. quillan-collect.service is
# checked as systemd would see it (verify, security) and its command is run as
# the unit runs it, as the user quillan against the simulated terminal; then
# the unit runs under a real systemd booted in a container. The machine keeps
# the tools this stage installed and whatever the packages pulled in, nothing
# else.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
bash scripts/ensure-packages.sh dpkg-dev lintian man-db desktop-file-utils appstream \
    systemd logrotate socat systemd-container

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
    [ -z "${ns:-}" ] || { bash "$ns_tool" down "$ns" >/dev/null; rm -rf "$ns"; }
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

# The same unit under a real service manager: systemd booted in a container
# (../shared/tools/systemd-ns.sh) on an overlay of this machine, so that what
# is installed there vanishes with it. A site relies on what is checked here:
# READY, records and modes, journal priorities, reload, log rotation, a stop
# in mid-docking, the watchdog, a start-up error that stays failed, a device
# the sandbox forbids, a purge.
echo "== quillan-collect.service under systemd"
section=$SECONDS
ns_tool=${QUILLAN_SYSTEMD_NS:-$(realpath -m ../shared/tools/systemd-ns.sh)}
[ -f "$ns_tool" ] || fail "no $ns_tool to boot systemd with (QUILLAN_SYSTEMD_NS names another)"
ns=$(mktemp -d)
timeout 180 bash "$ns_tool" up "$ns" --bind-ro="$(realpath "$dir"):/mnt/debs" >/dev/null || fail "systemd did not boot in a container"
root=/proc/$(cat "$ns/leader")/root # the container's files, seen from here
inside() { timeout 60 bash "$ns_tool" run "$ns" "$@"; }
show() { inside systemctl show -p "$1" --value quillan-collect.service; }
# The journal's lines of the unit's process with syslog priority $1 and text $2.
journal() { inside journalctl -q -u quillan-collect -o json --output-fields=PRIORITY,MESSAGE | grep -F "\"PRIORITY\":\"$1\"" | grep -F -- "$2"; }
inperms() { local got; got=$(inside stat -c '%a %U:%G' "$1"); [ "$got" = "$2 quillan:quillan" ] || fail "$1 is $got inside, not $2 quillan:quillan"; }
setting() { inside sed -i "s|^$1=.*|$1=\"$2\"|" "$conf"; }
# A simulated terminal as a unit of its own, its pty in group dialout as a
# port's is, linked under /run (the service's /tmp is private).
simterm()  # NAME OPTION...
{
    local name=$1 pty
    shift
    inside systemd-run --quiet --collect --unit="sim-$name" -p StandardOutput="file:/run/quillan-dock/$name.out" \
        /mnt/debs/quillan-simterm --link "/run/quillan-dock/$name" --timeout-s 300 "$@"
    poll 100 test -L "$root/run/quillan-dock/$name" || fail "simulated terminal $name did not start"
    pty=$(head -n1 "$root/run/quillan-dock/$name.out")
    inside chgrp dialout "$pty" && inside chmod 660 "$pty"
}
log_lines() { wc -l <"$root$LOG"; }

# Its user quillan must not share a uid with anyone here, or pgrep -u here
# would see the container's processes: a padding user takes the first free
# one, and a user quillan this machine has already (left by a purge) gives its
# uid to another one inside.
inside sh -c 'u=$(id -u quillan 2>/dev/null) && userdel quillan && useradd --system -M -u "$u" quillan-here;
    useradd --system -M quillan-padding'
timeout 300 bash "$ns_tool" run "$ns" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "/mnt/debs/$(basename "$cli_deb")" >/dev/null
uid=$(inside id -u quillan)
grep -qx "$uid" <<<"$(cut -d: -f3 /etc/passwd)" && fail "quillan inside has uid $uid, which a user here has too"
[ "$(show UnitFileState)/$(show ActiveState)" = disabled/inactive ] || fail "installing enabled or started the unit"
# DeviceAllow=char-ttyUSB and char-ttyACM need their drivers loaded before the start.
for p in Wants After; do
    for m in usbserial cdc_acm; do
        grep -qw "modprobe@$m.service" <<<"$(show $p)" || fail "the unit's $p= lacks modprobe@$m.service"
    done
done
out=$(inside systemd-analyze security quillan-collect.service | tail -n1)
echo "$out"
awk -v e="$(grep -o '[0-9.]* [A-Z]' <<<"$out" | cut -d' ' -f1)" 'BEGIN { exit !(e != "" && e < 2.0) }' \
    || fail "exposure under the manager not below 2.0: $out"

# A log it cannot open is a setting to mend: the unit ends failed at once
# instead of restarting every RestartSec= for ever.
setting LOG /var/log/quillan-collect.jsonl
inside systemctl start quillan-collect.service 2>/dev/null && fail "the unit started with a log it cannot write"
state=$(show ActiveState)/$(show SubState)/$(show ExecMainStatus)/$(show NRestarts)
[ "$state" = failed/failed/3/0 ] || fail "an unwritable log left the unit $state, not failed/failed/3/0"
journal 3 'cannot open the log' >/dev/null || fail "no error (priority 3) in the journal about the log"
inside systemctl reset-failed quillan-collect.service

# Two ports: a terminal with 40 records in one, nothing yet in the other.
LOG=/var/log/quillan/collect.jsonl
setting LOG $LOG
setting PORTS "-p /run/quillan-dock/ttyDOCK -p /run/quillan-dock/ttySLOW"
setting INTERVAL 1
setting TIMEOUT 2
inside mkdir -p /run/quillan-dock
cp "$tmp/records" "$root/run/quillan-dock/records"
simterm ttyDOCK --records /run/quillan-dock/records
inside systemctl enable --quiet --now quillan-collect.service || fail "systemctl enable --now quillan-collect failed"
[ "$(show ActiveState)" = active ] || fail "the unit is $(show ActiveState) after enable --now, not active (READY=1)"
[ "$(show WatchdogUSec)" = 30s ] || fail "the unit runs with no 30 s watchdog but \"$(show WatchdogUSec)\""
pid=$(show MainPID)
docked() { [ "$(cat "$root"/var/lib/quillan/ttyDOCK-* 2>/dev/null | sort)" = "$records" ]; }
poll 300 docked || fail "/var/lib/quillan inside does not hold the terminal's 40 records once each"
for f in /var/lib/quillan /var/log/quillan; do inperms $f 750; done
for f in "$root"/var/lib/quillan/* "$root$LOG"; do inperms "${f#"$root"}" 640; done
journal 6 'collecting from 2 ports' >/dev/null || fail "no info (priority 6) in the journal that it collects"
journal 4 'ttySLOW is not there' >/dev/null || fail "no warning (priority 4) in the journal about the absent port"
poll 50 journal 6 'uploaded 40 records' >/dev/null || fail "no info (priority 6) in the journal about the upload"
fds=$(ls "$root/proc/$pid/fd" | wc -l)
# The manager caps LimitNOFILE= at its own hard limit, which may be lower in CI.
limit=$(awk '/^Max open files/ { print $4 }' "$root/proc/$pid/limits")
echo "descriptors open with 2 ports: $fds, at most $limit (LimitNOFILE=$(show LimitNOFILE))"
[ "$(show LimitNOFILE)" = 65536 ] || fail "the unit sets no LimitNOFILE=65536"

# Where it can write, seen as it sees the files: its folders, private
# temporary ones and /run/lock, which holds its ports' lock files.
compgen -G "$root/run/lock/LCK..*ttyDOCK" >/dev/null || fail "no lock file for the port in /run/lock"
writable=$(inside nsenter -t "$pid" -m setpriv --reuid=quillan --regid=quillan --init-groups \
    find / \( -path /proc -o -path /sys \) -prune -o \( -type d -o -type f \) -writable -print 2>/dev/null | grep -v '^/run/lock/' | sort || true)
expected=$( (printf '%s\n' /tmp /var/tmp /run/lock && cd "$root" && ls -d var/lib/quillan var/lib/quillan/* var/log/quillan var/log/quillan/* | sed 's|^|/|') | sort)
[ "$writable" = "$expected" ] || fail "the service can write elsewhere:"$'\n'"$(diff <(echo "$expected") <(echo "$writable"))"

# Reload reopens the log, in the same process; so does logrotate's postrotate.
lines=$(log_lines)
inside systemctl reload quillan-collect.service || fail "systemctl reload quillan-collect failed"
reopened() { [ "$(log_lines)" -gt "$1" ] && [[ $(tail -n1 "$root$LOG") == *'"log reopened"'* ]]; }
poll 50 reopened "$lines" || fail "reload did not reopen the log"
[ "$(show MainPID)" = "$pid" ] || fail "reload restarted the service"
inside logrotate -f -s /run/logrotate.state /etc/logrotate.d/quillan-collect
[ -s "$root$LOG.1" ] || fail "logrotate -f did not rotate $LOG"
inperms $LOG 640
poll 50 reopened 0 || fail "after logrotate the service does not write into the new $LOG"

# A stop in mid-docking: the docking's JSON line says so with its count, and
# the stop is a clean one (status 0).
simterm ttySLOW --records-count 100000 --record-size 40 --delay-ms 5
slow() { cat "$root"/var/lib/quillan/ttySLOW-* 2>/dev/null | wc -l; }
poll 300 eval '[ "$(slow)" -ge 20 ]' || fail "the second terminal's docking did not begin"
inside systemctl stop quillan-collect.service
state=$(show ActiveState)/$(show Result)/$(show ExecMainStatus)
[ "$state" = inactive/success/0 ] || fail "systemctl stop in mid-docking left $state, not inactive/success/0"
last=$(grep '"port":"/run/quillan-dock/ttySLOW"' "$root$LOG" | tail -n1)
grep -q '"outcome":"interrupted"' <<<"$last" && grep -q "\"count\":$(slow)[,}]" <<<"$last" \
    || fail "the log's last line for the stopped docking ($(slow) records in the file) is: $last"

# The watchdog: a process that stops answering is killed and restarted. Short
# times in a drop-in keep this quick.
inside systemctl stop sim-ttyDOCK sim-ttySLOW
inside mkdir -p /run/systemd/system/quillan-collect.service.d
printf '[Service]\nWatchdogSec=2s\nTimeoutAbortSec=2s\nRestartSec=1s\n' >"$root/run/systemd/system/quillan-collect.service.d/quick.conf"
inside systemctl daemon-reload
inside systemctl start quillan-collect.service
pid=$(show MainPID)
sleep 5
[ "$(show MainPID)/$(show NRestarts)" = "$pid/0" ] || fail "the watchdog ended a service that runs (no WATCHDOG=1?)"
inside kill -STOP "$pid"
restarted() { [ "$(show NRestarts)" -ge 1 ] && [ "$(show ActiveState)" = active ] && [ "$(show MainPID)" != "$pid" ]; }
poll 150 restarted || fail "a stopped process was not killed by the watchdog and restarted"
[[ $(inside journalctl -q -u quillan-collect) == *'Watchdog timeout'* ]] || fail "the journal tells of no watchdog timeout"
inside rm -r /run/systemd/system/quillan-collect.service.d
inside systemctl daemon-reload

# A device the system forbids is said as such (priority 3), not as absent or
# in use, and is collected from by the same process once allowed again.
# DevicePolicy=closed always lets pty slaves through; strict, with only the
# unit's serial ports and /dev/null (without it the unit does not start)
# allowed, keeps the pty out.
simterm ttyBARRED --records /run/quillan-dock/records
setting PORTS "-p /run/quillan-dock/ttyBARRED"
inside mkdir -p /run/systemd/system/quillan-collect.service.d
printf '[Service]\nDevicePolicy=strict\nDeviceAllow=/dev/null rw\n' >"$root/run/systemd/system/quillan-collect.service.d/barred.conf"
inside systemctl daemon-reload
inside systemctl restart quillan-collect.service
pid=$(show MainPID)
poll 100 journal 3 'forbids this program the device' >/dev/null \
    || fail "no error (priority 3) in the journal that the system forbids the pty: $(inside journalctl -q -u quillan-collect -n 5)"
journal 3 'ttyBARRED: Operation not permitted' >/dev/null || fail "the error does not name the device and EPERM"
inside journalctl -q -u quillan-collect | grep -E 'ttyBARRED.*(is not there|in use)' \
    && fail "the forbidden pty was also said absent or in use"
inside rm -r /run/systemd/system/quillan-collect.service.d
inside systemctl daemon-reload
barred() { [ "$(cat "$root"/var/lib/quillan/ttyBARRED-* 2>/dev/null | sort)" = "$records" ]; }
poll 300 barred || fail "once allowed, the pty's 40 records did not arrive"
[ "$(show MainPID)" = "$pid" ] || fail "the service restarted instead of polling the allowed port again"
inside systemctl stop sim-ttyBARRED

# The purge stops the service and takes the unit and its enabling, not the records.
timeout 300 bash "$ns_tool" run "$ns" env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq quillan-cli >/dev/null
inside pgrep -u quillan && fail "something runs as quillan inside after the purge"
[ -e "$root/lib/systemd/system/quillan-collect.service" ] || [ -L "$root/etc/systemd/system/multi-user.target.wants/quillan-collect.service" ] \
    && fail "the purge left the unit or its enabling"
docked || fail "the purge took the records"
bash "$ns_tool" down "$ns" >/dev/null
rm -rf "$ns"
ns=""
after=$(leftovers)
[ "$before" = "$after" ] || fail "the container left this machine otherwise:"$'\n'"$(diff <(echo "$before") <(echo "$after"))"
echo "under systemd in $((SECONDS - section)) s"

echo "package stage passed in $((SECONDS - started)) s"
