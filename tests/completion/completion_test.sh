#!/bin/bash
# SPDX-License-Identifier: MIT
# The bash completion of sci, driven as readline drives it: COMP_WORDS,
# COMP_CWORD, COMP_LINE and COMP_POINT set for a command line, the function
# called, COMPREPLY compared. The modes, each mode's options and the rates it
# offers must be those the tool's own help names; then a table of lines. Where
# the bash-completion package is installed, its loader must find the script
# by the command's name.
#   completion_test.sh COMPLETION_SCRIPT SCI_TOOL [EMULATOR...]
set -u
export LC_ALL=C
script=$(realpath "$1")
shift
sci=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

# shellcheck source=/dev/null
source "$script"

# complete LINE: what the completion offers at the end of LINE, sorted, on one
# line. Like bash, a colon is a word of its own.
complete_line() {
    COMP_LINE=$1 COMP_POINT=${#1}
    read -ra COMP_WORDS <<<"${1//:/ : }"
    [[ $1 == *' ' ]] && COMP_WORDS+=('')
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _sci sci "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort | xargs
}
# expect LINE WANTED
expect() {
    local got
    got=$(complete_line "$1")
    [[ $got == "$2" ]] || fail "'$1' offers [$got], expected [$2]"
}
sorted() { printf '%s\n' "$@" | sort | xargs; }

# What the tool takes, read from its help: the modes from the usage, each
# mode's options from its usage lines, the rates from monitor's text.
# shellcheck disable=SC2046,SC2086 # one word each
{
    modes=$(sorted $("${sci[@]}" --help | sed -n 's/^ *\(usage: \)\{0,1\}sci \([a-z]*\) .*/\2/p'))
    [[ -n $modes ]] || fail "no modes in sci --help"
    expect "sci " "$(sorted $modes --help --version)"
    for mode in $modes; do
        options=$("${sci[@]}" "$mode" --help | sed '/^$/q' | grep -oE '[ [](-[A-Za-z]|--[a-z]+)\b')
        expect "sci $mode -" "$(sorted $(tr -d ' [' <<<"$options") --help)"
    done
}
rates=$("${sci[@]}" monitor --help | tr '\n' ' ' | sed -n 's/.*one of \([0-9 ]*\)).*/\1/p')
[[ -n $rates ]] || fail "no rates in sci monitor --help"
# shellcheck disable=SC2086
expect "sci monitor -b " "$(sorted $rates)"

# A /dev of serial lines and others, and files to complete.
dev=$work/dev
mkdir -p "$dev/pts" "$work/by-id"
touch "$dev"/{ttyS0,ttyUSB0,ttyACM1,ttyAMA0,tty1,console,null} "$dev"/pts/{0,ptmx}
mkdir -p "$dev/serial/by-path"
touch "$work"/{capture.bin,capture.pcap,notes.txt} "$work/by-id/usb-adapter" "$dev/x:1.bin" \
    "$dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"
_sci_dev_dir=$dev
cd "$work" || exit 1

# The table, then again with bash-completion's helpers loaded where it is installed.
table() {
    while IFS='|' read -r line wanted; do
        [[ -z $line || $line == '#'* ]] && continue
        expect "${line//DEV/$dev}" "${wanted//DEV/$dev}"
    done <<'EOF'
# line|what it offers
sci s|scan send serve
sci pack |--help -V -a -c
sci pack -V |1 2
sci send -b 1152|115200
sci pack -a |
sci scan -V |
sci scan cap|capture.bin capture.pcap
sci scan --pcap cap|capture.bin capture.pcap
sci scan capture.bin |--help --pcap -a -c
sci scan -a 1 --pcap x.pcap |by-id capture.bin capture.pcap dev notes.txt
sci scan -a 1 --pcap x.pcap capture.bin |--help -c
sci monitor |DEV/pts/0 DEV/ttyACM1 DEV/ttyAMA0 DEV/ttyS0 DEV/ttyUSB0
sci monitor DEV/ttyU|DEV/ttyUSB0
sci monitor by-id/|by-id/usb-adapter
sci send -b 9600 -V2 |DEV/pts/0 DEV/ttyACM1 DEV/ttyAMA0 DEV/ttyS0 DEV/ttyUSB0
sci send DEV/pts/0 -b 9600 |--help -A -C -V -a -c -r
sci monitor -- DEV/ttyS0 |
sci pack -- -|
sci bogus -|
sci --version |
sci monitor DEV/serial/by-path/pci-0000:00|00:14.0-usb-0:2:1.0-port0
sci scan DEV/x:|1.bin
sci scan DEV/x:1|1.bin
EOF
}
table
if [[ -f /usr/share/bash-completion/bash_completion ]]; then
    # shellcheck source=/dev/null
    (source /usr/share/bash-completion/bash_completion && source "$script" && table && exit $status) ||
        status=1
fi

# The bash-completion package loads sci from its completions folder.
if [[ -f /usr/share/bash-completion/bash_completion ]]; then
    mkdir -p "$work/user/completions"
    ln -s "$(realpath "$script")" "$work/user/completions/sci"
    got=$(BASH_COMPLETION_USER_DIR=$work/user bash -c '
        source /usr/share/bash-completion/bash_completion
        __load_completion sci && complete -p sci' 2>&1)
    [[ $got == "complete -F _sci sci" ]] || fail "bash-completion's loader gave [$got]"
else
    echo "note: bash-completion is not installed; its loader is not tried"
fi
[[ $status == 0 ]] && echo "ok: every completion as expected"
exit $status
