#!/bin/sh
# SPDX-License-Identifier: MIT
# Times `sci scan` on a large capture: version-2 frames of varied payload, each
# after 0 to 64 bytes of noise, repeated up to about SIZE MiB (default 100).
# The bytes are the same in every run, and the noise holds no 0x55, so no sync
# header starts in it: every frame is found good, none bad. Prints the frames
# expected and found, the time and the peak resident size. Needs
# /usr/bin/time.
#   scan_bench.sh SCI [SIZE]
set -eu
sci=$1
mib=${2:-100}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Raw bytes from blank-separated hex.
unhex() {
    # shellcheck disable=SC2059 # the format is the byte as an octal escape
    for b in $1; do printf "\\$(printf %03o "0x$b")"; done
}

# COUNT bytes in hex, a function of SEED and their place; with NOSYNC set, a
# 0x55 becomes 0x54.
hexes() {
    awk -v n="$1" -v s="$2" -v nosync="$3" 'BEGIN {
        for (j = 0; j < n; j++) {
            b = (s * 31 + j * 97 + j * j) % 256
            if (nosync && b == 85)
                b = 84
            printf "%02x ", b
        }
    }'
}

# One block of 256 frames, then as many copies as make the size.
i=0
while [ "$i" -lt 256 ]; do
    unhex "$(hexes $((i % 65)) "$i" 1)"
    # shellcheck disable=SC2046 # the payload's hex bytes, one operand each
    unhex "$("$sci" pack -V 2 -a "$i" -c $((i * 257)) $(hexes $((i * 37 % 256)) $((i + 7)) 0))"
    i=$((i + 1))
done >"$work/block"
block=$(wc -c <"$work/block")
copies=$((mib * 1048576 / block + 1))
i=0
while [ "$i" -lt "$copies" ]; do
    cat "$work/block"
    i=$((i + 1))
done >"$work/capture"

/usr/bin/time -f "%e %M" -o "$work/time" "$sci" scan "$work/capture" >"$work/all"
/usr/bin/time -f "%e %M" -o "$work/time_filtered" "$sci" scan -a 0 -c 0 "$work/capture" >/dev/null
read -r secs kib <"$work/time"
read -r fsecs fkib <"$work/time_filtered"
echo "capture:        $(wc -c <"$work/capture") bytes, $((copies * 256)) frames"
echo "found good:     $(grep -c 'checksum ok' "$work/all")"
echo "checksum bad:   $(grep -c 'checksum bad' "$work/all" || true)"
echo "all lines:      ${secs} s, peak resident ${kib} KiB"
echo "-a 0 -c 0:      ${fsecs} s, peak resident ${fkib} KiB"
