#!/usr/bin/env bash
# The bash completion of quillan-cli, driven as bash drives it: COMP_WORDS and
# COMP_CWORD set, the completion function called, COMPREPLY compared.
#   completion.sh PATH-OF-THE-COMPLETION-SCRIPT
set -uo pipefail
script=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A user with COM7 assigned, COM12 set for this run, one USB adapter with a
# stable name, a tty device of its own and a few files in the current folder.
mkdir -p "$work/config/quillan" "$work/by-id" "$work/dev" "$work/here/sub"
printf '[General]\nCOM7=/dev/ttyUSB0\n' >"$work/config/quillan/ports.conf"
touch "$work/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0" "$work/dev/ttyUSB9"
touch "$work/here/records.txt" "$work/here/rec 2.txt" "$work/here/prices.txt"
export XDG_CONFIG_HOME=$work/config
export QUILLAN_COM12=/dev/ttyACM0
QUILLAN_COM13=/dev/not-exported # only what the program would see counts
byid=$work/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0
cd "$work/here"

# shellcheck source=/dev/null
source "$script"
_quillan_cli_by_id=$work/by-id

passed=0
failed=0
# check "words as bash splits them, | between them" "expected, | between them"
check()
{
    IFS='|' read -r -a COMP_WORDS <<<"$1"
    [[ $1 == *'|' ]] && COMP_WORDS+=("") # the word being typed is empty
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _quillan_cli 2>/dev/null
    local got want
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort -u | paste -sd'|')
    want=$(printf '%s' "$2" | tr '|' '\n' | sed '/^$/d' | sort -u | paste -sd'|')
    if [[ $got == "$want" ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL: "%s"\n  expected: %s\n  got:      %s\n' "$1" "$want" "$got"
    fi
}

check 'quillan-cli|' 'upload|download|collect|ports|--help|--version'
check 'quillan-cli|do' 'download'
check 'quillan-cli|upload|-' '-p|--port|-t|--timeout|--force|--append|--table|--station|--log|-q|--quiet|--help'
check 'quillan-cli|download|--' '--port|--timeout|--log|--quiet|--help'
check 'quillan-cli|collect|--' '--port|--timeout|--interval|--rest|--table|--station|--log|--quiet|--help'
check 'quillan-cli|collect|--rest|' ''
check 'quillan-cli|upload|-p|' "COM1|COM2|COM7|COM12|$byid"
check 'quillan-cli|download|--port|=|' "COM1|COM2|COM7|COM12|$byid"
check 'quillan-cli|upload|--port|=' "COM1|COM2|COM7|COM12|$byid"
check 'quillan-cli|upload|-p|COM1|-p|COM' 'COM1|COM2|COM7|COM12'
check "quillan-cli|upload|-p|$work/by-id/usb" "$byid"
check "quillan-cli|upload|-p|$work/dev/tty" "$work/dev/ttyUSB9"
check 'quillan-cli|upload|-t|' ''
check 'quillan-cli|upload|rec' 'records.txt|rec 2.txt'
check 'quillan-cli|upload|-p|COM2|--force|' 'records.txt|rec 2.txt|prices.txt|sub'
check 'quillan-cli|download|--log|pr' 'prices.txt'
check 'quillan-cli|ports|-' '--json|--assign|--clear|--help'
check 'quillan-cli|ports|' ''
check 'quillan-cli|ports|--assign|' 'COM1|COM2|COM7|COM12'
check 'quillan-cli|ports|--assign|COM1|' "$byid"
check 'quillan-cli|ports|--assign|COM1|--c' '--clear'
check 'quillan-cli|simulate|' ''

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
