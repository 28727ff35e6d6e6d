#!/bin/sh
# SPDX-License-Identifier: MIT
# The Wireshark dissector against sci scan: a capture with frames of both
# versions, bad checksums, garbage between frames and a frame cut off at the
# end goes through `sci scan --pcap`; then tshark reads the pcap file with
# the dissector, and for every record its fields (time, version, address,
# command, length, a version-1 frame's length byte, checksum status, payload)
# and Info column (the payload cut after 16 bytes) must be what scan's line
# for that frame says. The cut-off frame has no record. A bad
# checksum carries the dissector's expert note.
#   wireshark_test.sh DISSECTOR SCI [EMULATOR...]
set -u
dissector=$1 sci=$2
shift 2
emulator="$*"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
ok() { echo "ok: $*"; }
fail() { echo "FAIL: $*"; status=1; }
bytes() {
    # shellcheck disable=SC2059 # the format is the byte as an octal escape
    for b in "$@"; do printf "\\$(printf %03o "0x$b")"; done
}
# The frame sci pack builds, as bytes.
# shellcheck disable=SC2046 # the frame's hex bytes, one argument each
pack() { bytes $($emulator "$sci" pack "$@"); }

{
    printf 'line noise'
    pack -V 2 -a 1 -c 0x1234 AB CD
    bytes 55 AA 01 04 12 34 AB CD C3 01
    pack -V 2 -a 0xFE -c 0xFFFF
    bytes 13 55 00 55
    bytes 55 BB 02 03 00 07 01 02 03 00 00
    pack -V 1 -a 1 -c 0x1234 ABCD
    bytes 55 AA 7F 03 80 01 FF 00 00
    pack -V 2 -a 3 -c 0x0042 "$(printf '%02X' $(seq 0 254))"
    bytes 55 BB 05 04 00 01 02
} >"$work/capture"

$emulator "$sci" scan --pcap "$work/capture.pcap" "$work/capture" >"$work/scan" ||
    fail "scan exited $?"
grep -q truncated "$work/scan" && grep -q "checksum bad" "$work/scan" && grep -q " v1 " "$work/scan" ||
    fail "the capture lacks what it should hold: $(cat "$work/scan")"

# scan's complete frames, as: offset version addr cmd len status payload | info
awk 'function hex(s,  v, i) {
        for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
        return v
    }
    !/truncated/ {
        offset = hex(substr($1, 1, 8))
        payload = ""
        for (i = 11; i <= NF; i++) payload = payload (payload == "" ? "" : " ") tolower($i)
        info = $2; for (i = 3; i <= NF && i <= 26; i++) info = info " " $i
        if (NF > 26) info = info " …"
        printf "%d %s %s %s %s %s %d %s|%s\n", offset, substr($2, 2), tolower($4), tolower($6), $8,
               $2 == "v1" ? $8 + 2 : "", $10 == "ok", payload, info
    }' "$work/scan" >"$work/expected"

# tshark's fields for each record, in the same form. The record's time is
# the frame's offset in microseconds.
tshark -X "lua_script:$dissector" -r "$work/capture.pcap" -T fields -E separator='|' \
    -e frame.time_epoch -e sci.version -e sci.addr -e sci.cmd -e sci.len -e sci.len.byte \
    -e sci.checksum.status -e sci.payload -e _ws.col.Info -e _ws.expert.message \
    2>"$work/tshark.err" >"$work/tshark" ||
    fail "tshark: $(cat "$work/tshark.err")"
awk -F'|' '{
        split($1, t, ".")
        printf "%d %s %s %s %s %s %s %s|%s\n", t[1] * 1000000 + substr(t[2], 1, 6), $2, $3, $4, $5,
               $6, $7, $8, $9
    }' "$work/tshark" >"$work/found"

if cmp -s "$work/expected" "$work/found"; then
    ok "the dissector reads every record as scan reads the frame ($(wc -l <"$work/found") records)"
else
    fail "the dissector and scan differ (< scan, > tshark):"
    diff "$work/expected" "$work/found" | grep '^[<>]'
fi

# A bad checksum, and only that, carries the expert note.
notes=$(awk -F'|' '$10 ~ /^Bad checksum/ { n++ } END { print n + 0 }' "$work/tshark")
bad=$(grep -c "checksum bad" "$work/scan")
[ "$notes" = "$bad" ] && ok "$bad bad checksums, each with an expert note" ||
    fail "$notes expert notes for $bad bad checksums"

# Loaded twice (the personal plugin folder and -X), the dissector works; with
# its USER0 preference off, USER0 goes back to the user's DLT_USER mapping.
mkdir -p "$work/home/.local/lib/wireshark/plugins"
cp "$dissector" "$work/home/.local/lib/wireshark/plugins/"
user_dlts='uat:user_dlts:"User 0 (DLT=147)","data","0","","0",""'
while IFS='|' read -r pref want; do
    got=$(HOME=$work/home tshark -X "lua_script:$dissector" -o "$pref" -o "$user_dlts" \
        -r "$work/capture.pcap" -T fields -e frame.protocols 2>"$work/tshark.err" | sort -u)
    ! grep -q Lua "$work/tshark.err" && [ "$got" = "$want" ] && ok "loaded twice, $pref: $want" ||
        fail "loaded twice, $pref: '$got', not $want: $(cat "$work/tshark.err")"
done <<EOF
sci.user0:TRUE|sci
sci.user0:FALSE|user_dlt:data
EOF

# The file itself: classic pcap, microseconds, link type USER0 (147).
header=$(head -c 24 "$work/capture.pcap" | od -An -tx1 | tr -d ' \n')
[ "$header" = "d4c3b2a1020004000000000000000000ffff000093000000" ] &&
    ok "pcap header: magic a1b2c3d4, version 2.4, snap length 65535, link type 147" ||
    fail "pcap header $header"
exit $status
