#!/usr/bin/env bash
# The package stage of ./test.sh: builds the Debian packages, has lintian check
# them, installs them with apt-get as a user would, runs what was installed,
# validates the installed desktop entries and AppStream files, then purges
# them and checks that nothing of them is left. The machine keeps the tools
# this stage installed and whatever the packages pulled in, nothing else.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
bash scripts/ensure-packages.sh dpkg-dev lintian man-db desktop-file-utils appstream

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
         -name '*quillan*' 2>/dev/null | sort || true
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

cleanup()
{
    local p
    for p in "${packages[@]}"; do
        if installed "$p"; then "${apt[@]}" purge "${packages[@]}" >/dev/null; break; fi
    done
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

echo "== purge"
"${apt[@]}" purge "${packages[@]}"
trap - EXIT
while read -r f; do
    [ -d "$f" ] && continue
    [ -e "$f" ] || [ -L "$f" ] && fail "$f is still there after the purge"
done <<<"$files"
after=$(leftovers)
[ "$before" = "$after" ] || fail "the purge left the machine otherwise than it was:"$'\n'"$(diff <(echo "$before") <(echo "$after"))"

echo "package stage passed in $((SECONDS - started)) s"
