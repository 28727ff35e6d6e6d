#!/bin/sh
# SPDX-License-Identifier: MIT
# The receive loop as the header and the documentation show it, each copy
# compiled as it stands, must hand out every frame of a file and end at its
# end, report a frame cut off by the gap while the line stays silent, and end
# with the error when read fails.
#   receive_loop_test.sh LOOP... [-- EMULATOR...]
set -u
loops=
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    loops="$loops $1"
    shift
done
[ $# -gt 0 ] && shift
emulator="$*"

work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
status=0
ok() { echo "ok: $*"; }
fail() { echo "FAIL: $*"; status=1; }
bytes() {
    # shellcheck disable=SC2059 # the format is the byte as an octal escape
    for b in "$@"; do printf "\\$(printf %03o "0x$b")"; done
}
v2="55 BB 01 02 12 34 AB CD C1 01"
v1="55 AA 01 04 12 34 AB CD C3 01"
# Waits up to 10 s for FILE to hold TEXT.
within() {
    i=0
    while [ $i -lt 100 ]; do
        [ "$(cat "$1")" = "$2" ] && return 0
        sleep 0.1
        i=$((i + 1))
    done
    return 1
}

{
    # shellcheck disable=SC2086 # the frames' hex bytes, one argument each
    bytes 13 $v2 $v1
    bytes 55 BB 01 02 12
} >"$work/capture"
mkdir "$work/dir"

for loop in $loops; do
    name=${loop##*/}
    # A loop that spins at the end of input never ends: the bound catches it.
    # shellcheck disable=SC2086 # the emulator's words, or none
    out=$(timeout 10 $emulator "$loop" "$work/capture" 0)
    # shellcheck disable=SC2181 # the loop's status, beside the output it gave
    [ $? = 0 ] && [ "$out" = "1 ok 10
11 ok 10
21 partial 5
end" ] && ok "$name: every frame of a file, then its end" || fail "$name on a file: [$out]"

    # shellcheck disable=SC2086 # the emulator's words, or none
    out=$(timeout 10 $emulator "$loop" "$work/dir" 0)
    [ $? = 1 ] && [ "$out" = "error: Is a directory" ] && ok "$name: a read error ends it" ||
        fail "$name on a directory: [$out]"

    # Half a frame, then silence: the time alone cuts it off before more comes.
    rm -f "$work/line"
    mkfifo "$work/line"
    $emulator "$loop" "$work/line" 50 >"$work/out" &
    # Read and write: the open cannot wait for a reader that never comes.
    exec 3<>"$work/line"
    bytes 55 BB 01 02 12 >&3
    if within "$work/out" "0 partial 5"; then
        ok "$name: a frame cut off by the gap shows while the line is silent"
    else
        fail "$name: no partial frame after the gap: [$(cat "$work/out")]"
    fi
    # shellcheck disable=SC2086 # the frame's hex bytes, one argument each
    bytes $v2 >&3
    exec 3>&-
    within "$work/out" "0 partial 5
5 ok 10
end" || fail "$name after the gap: [$(cat "$work/out")]"
    wait
done
exit $status
