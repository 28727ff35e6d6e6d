#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs the sci tool through a table of cases and compares its standard output,
# standard error and exit status with what each case expects.
#   KORVI_VERSION=X.Y.Z sci_cli_test.sh TOOL [EMULATOR...]
set -u
: "${KORVI_VERSION:?the version sci --version must print}"
tool=$1
shift
emulator="$*"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
input=/dev/null
output= # where standard output goes when set, else it is compared

# Raw bytes from hex words.
bytes() {
    # shellcheck disable=SC2059 # the format is the byte as an octal escape
    for b in "$@"; do printf "\\$(printf %03o "0x$b")"; done
}

# COUNT copies of a hex byte, blank-separated.
repeat() {
    list='' i=0
    while [ "$i" -lt "$1" ]; do
        list="$list${list:+ }$2"
        i=$((i + 1))
    done
    printf '%s' "$list"
}

# check NAME STATUS STDOUT STDERR ARG... (standard input from $input)
check() {
    name=$1 want_status=$2 want_out=$3 want_err=$4
    shift 4
    if [ -n "$output" ]; then
        out=$($emulator "$tool" "$@" <"$input" 2>"$work/err" >"$output")
    else
        out=$($emulator "$tool" "$@" <"$input" 2>"$work/err")
    fi
    status=$?
    err=$(cat "$work/err")
    if [ "$status" != "$want_status" ] || [ "$out" != "$want_out" ] || [ "$err" != "$want_err" ]; then
        printf 'FAIL: %s\n  status %s, expected %s\n  stdout:\n%s\n  expected:\n%s\n  stderr: %s\n  expected: %s\n' \
            "$name" "$status" "$want_status" "$out" "$want_out" "$err" "$want_err"
        failures=$((failures + 1))
    else
        echo "ok: $name"
    fi
}

usage() {
    echo "sci$1: $2 (see sci$1 --help)"
}

# --help: the tool and each mode, on standard output, status 0.
for mode in "" pack unpack scan monitor send; do
    if out=$($emulator "$tool" $mode --help 2>&1) && [ "${out#"usage: sci ${mode:-pack} "}" != "$out" ]; then
        echo "ok: help for sci $mode"
    else
        echo "FAIL: help for sci $mode: $out"
        failures=$((failures + 1))
    fi
done

# pack
ff255=$(repeat 255 FF)
check "pack version 2" 0 "55 BB 01 02 12 34 AB CD C1 01" "" pack -V 2 -a 1 -c 0x1234 AB CD
check "pack version 1, decimal, hex without blanks" 0 "55 AA 01 05 00 12 34 AB CD C4 01" "" \
    pack -V 1 -a 1 -c 4660 abcd
check "pack empty payload" 0 "55 BB FF 00 FF FF FD 02" "" pack -V 2 -a 0xff -c 0xFFFF
check "pack options after operands, values attached" 0 "55 BB 01 02 12 34 AB CD C1 01" "" \
    pack AB -c0x1234 -a1 -V2 CD
check "pack after --, -x is payload" 2 "" "$(usage " pack" "'-' is not a hex digit")" \
    pack -V 2 -a 1 -c 0 -- -x
check "pack longest version 1" 0 "55 AA 01 FF 00 00 01 $(repeat 252 80) 01 7F" "" \
    pack -V 1 -a 1 -c 1 "$(repeat 252 80)"
check "pack longest version 2, checksum wraps" 0 "55 BB FF FF FF FF $ff255 FD 01" "" \
    pack -V 2 -a 255 -c 65535 "$ff255"
check "pack version 1 payload too long" 2 "" \
    "$(usage " pack" "a version-1 payload takes at most 252 bytes, not 253")" \
    pack -V 1 -a 1 -c 1 "$(repeat 253 80)"
check "pack payload over 255 bytes" 2 "" "$(usage " pack" "more than 255 bytes")" \
    pack -V 2 -a 1 -c 1 "$ff255" 00
check "pack missing -c" 2 "" "$(usage " pack" "missing -c")" pack -V 2 -a 1
check "pack version 3" 2 "" "$(usage " pack" "-V takes a number from 1 to 2, not '3'")" \
    pack -V 3 -a 1 -c 1
check "pack address 256" 2 "" "$(usage " pack" "-a takes a number from 0 to 255, not '256'")" \
    pack -V 1 -a 256 -c 1
check "pack command 0x10000" 2 "" \
    "$(usage " pack" "-c takes a number from 0 to 65535, not '0x10000'")" pack -V 1 -a 1 -c 0x10000
check "pack bare 0x" 2 "" "$(usage " pack" "-a takes a number from 0 to 255, not '0x'")" \
    pack -V 1 -a 0x -c 1
check "pack hex digit in a decimal number" 2 "" \
    "$(usage " pack" "-c takes a number from 0 to 65535, not '12f'")" pack -V 1 -a 1 -c 12f
check "pack option without value" 2 "" "$(usage " pack" "option -c needs a value")" \
    pack -V 1 -a 1 -c
check "pack unknown option" 2 "" "$(usage " pack" "unknown option '-x'")" pack -x -V 1
check "pack odd hex" 2 "" "$(usage " pack" "odd number of hex digits")" pack -V 1 -a 1 -c 1 ABC
check "pack byte split over arguments" 2 "" "$(usage " pack" "odd number of hex digits")" \
    pack -V 1 -a 1 -c 1 A BC
check "pack not hex" 2 "" "$(usage " pack" "'g' is not a hex digit")" pack -V 1 -a 1 -c 1 0g
check "version" 0 "sci $KORVI_VERSION" "" --version
check "no mode" 2 "" "$(usage "" "no mode given")"
check "unknown mode" 2 "" "$(usage "" "unknown mode 'frob'")" frob

# unpack: accepted frames, then each refusal, then bad input.
v2_fields="version 2
addr    0x01
cmd     0x1234
len     2"
check "unpack version 2" 0 "result  0 SCI_OK: frame accepted
$v2_fields
payload AB CD" "" unpack -a 1 -c 0x1234 55 BB 01 02 12 34 AB CD C1 01

printf '55aa0104\n1234abcd\n c301\n' >"$work/v1_in"
input=$work/v1_in
check "unpack version 1 from standard input" 0 "result  0 SCI_OK: frame accepted
version 1
addr    0x01
cmd     0x1234
len     2
payload AB CD" "" unpack -a 1 -c 0x1234
input=/dev/null

check "unpack a packed version-1 frame as the codec reads it" 0 "result  0 SCI_OK: frame accepted
version 1
addr    0x01
cmd     0x0012
len     3
payload 34 AB CD
extra   1 byte after the frame, ignored" "" unpack -a 1 -c 0x12 55AA01050012 34ABCDC401 00
check "unpack frame command FFFF matches any" 0 "result  0 SCI_OK: frame accepted
version 2
addr    0x01
cmd     0xFFFF
len     0
extra   3 bytes after the frame, ignored" "" unpack -a 1 -c 0x1234 55BB0100FFFFFF01 55BB01
check "unpack too short" 1 "result  -1 SCI_ERR_ARG: too short for a frame, or a version-1 length byte below 2
version 2" "" unpack -a 1 -c 0x1234 55 BB 01 02 12 34 AB
check "unpack version-1 length byte 1" 1 "result  -1 SCI_ERR_ARG: too short for a frame, or a version-1 length byte below 2
version 1" "" unpack -a 1 -c 0x1234 55 AA 01 01 12 34 47 00
check "unpack bad sync" 1 "result  -2 SCI_ERR_SYNC: sync header is neither 55 AA nor 55 BB" "" \
    unpack -a 1 -c 0x1234 55 CC 01 02 12 34 AB CD C1 01
check "unpack wrong address" 1 "result  -3 SCI_ERR_ADDR: address differs from the expected one
$v2_fields" "" unpack -a 2 -c 0x1234 55 BB 01 02 12 34 AB CD C1 01
check "unpack wrong command" 1 "result  -4 SCI_ERR_CMD: command differs from the expected one and is not 0xFFFF
$v2_fields" "" unpack -a 1 -c 0xFFFF 55 BB 01 02 12 34 AB CD C1 01
check "unpack bad checksum" 1 "result  -5 SCI_ERR_CHECKSUM: checksum mismatch
$v2_fields" "" unpack -a 1 -c 0x1234 55 BB 01 02 12 34 AB CD C1 00
check "unpack nothing given" 2 "" "$(usage " unpack" "no frame given")" unpack -a 1 -c 1
check "unpack missing -a" 2 "" "$(usage " unpack" "missing -a")" unpack -c 1 55BB
check "unpack -V is no option" 2 "" "$(usage " unpack" "unknown option '-V'")" unpack -V 2
repeat 4097 00 >"$work/long"
input=$work/long
check "unpack over 4096 bytes" 2 "" "$(usage " unpack" "more than 4096 bytes")" unpack -a 1 -c 1
input=/dev/null

# scan: a capture of garbage, good, corrupt and cut-off frames of both versions.
{
    bytes 00 55 13 55 AA                   # garbage, then a frame running past the end
    bytes 55 BB 01 02 12 34 AB CD C1 01
    bytes 55 BB 09 06 00 01 02             # cut off by the next frame
    bytes 55 AA 01 04 12 34 AB CD C3 01
    bytes 55 BB 02 03 00 07 01 02 03 00 00 # checksum bad
    bytes 55 BB 07 20 00 01 02             # announces 32 bytes: swallows the rest
    bytes 55 BB 03 00 FF FF 01 02
    bytes 55 AA 01 05 00 12 34 AB CD C4 01 # version 1 as packed
    bytes 55 AA 01 01                      # length byte 1: no frame
    bytes 55 BB 05 04 00 01 02             # cut off
} >"$work/capture"
check "scan capture" 0 "00000003: v1 addr 0x55 cmd 0x0102 truncated, 77 of 193 bytes
00000005: v2 addr 0x01 cmd 0x1234 len 2 checksum ok AB CD
0000000f: v2 addr 0x09 cmd 0x0001 len 6 checksum bad 02 55 AA 01 04 12
00000016: v1 addr 0x01 cmd 0x1234 len 2 checksum ok AB CD
00000020: v2 addr 0x02 cmd 0x0007 len 3 checksum bad 01 02 03
0000002b: v2 addr 0x07 cmd 0x0001 truncated, 37 of 40 bytes
00000032: v2 addr 0x03 cmd 0xFFFF len 0 checksum ok
0000003a: v1 addr 0x01 cmd 0x0012 len 3 checksum ok 34 AB CD
00000049: v2 addr 0x05 cmd 0x0001 truncated, 7 of 12 bytes" "" scan "$work/capture"
input=$work/capture
check "scan standard input, -c keeps that command and FFFF" 0 \
    "00000005: v2 addr 0x01 cmd 0x1234 len 2 checksum ok AB CD
00000016: v1 addr 0x01 cmd 0x1234 len 2 checksum ok AB CD
00000032: v2 addr 0x03 cmd 0xFFFF len 0 checksum ok" "" scan -c 0x1234 -
check "scan -a and -c together" 0 "00000032: v2 addr 0x03 cmd 0xFFFF len 0 checksum ok" "" \
    scan -a 3 -c 7
check "scan -a with only bad frames" 1 "00000020: v2 addr 0x02 cmd 0x0007 len 3 checksum bad 01 02 03" \
    "" scan -a 2
check "scan no match" 1 "" "" scan -a 0x42
bytes 55 BB 01 >"$work/cut"
input=$work/cut
check "scan frame cut in its header" 1 "00000000: v2 addr 0x01 truncated, 3 bytes" "" scan
bytes 13 55 CC 55 55 AB BA 55 AA 00 00 55 >"$work/garbage"
input=$work/garbage
check "scan garbage, a length byte 0, a lone 55 at the end" 1 "" "" scan
input=/dev/null
check "scan empty input" 1 "" "" scan

# Frames straddling the ends of the 64 KiB read window.
{
    head -c 65530 /dev/zero
    bytes 55 BB 01 02 12 34 AB CD C1 01
    head -c 65530 /dev/zero
    bytes 55 AA 01 04 12 34 AB CD C3 01
} >"$work/big"
check "scan across read windows" 0 "0000fffa: v2 addr 0x01 cmd 0x1234 len 2 checksum ok AB CD
0001fffe: v1 addr 0x01 cmd 0x1234 len 2 checksum ok AB CD" "" scan "$work/big"
check "scan a directory" 3 "" "sci scan: cannot read $work: Is a directory" scan "$work"
input=$work
check "unpack standard input a directory" 3 "" "sci unpack: cannot read standard input: Is a directory" \
    unpack -a 1 -c 1
input=/dev/null

# Output that cannot be written is a failure, never a success.
output=/dev/full
full="cannot write standard output: No space left on device"
check "pack to a full disk" 3 "" "sci pack: $full" pack -V 2 -a 1 -c 0x1234 AB CD
check "scan to a full disk" 3 "" "sci scan: $full" scan "$work/big"
check "help to a full disk" 3 "" "sci: $full" --help
output=

# monitor and send: what is refused before the line is touched. On a real
# line they are tested in serial_test.
rates="1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 500000, 576000 or 921600"
check "monitor without -b" 2 "" "$(usage " monitor" "missing -b")" monitor /dev/null
check "monitor at a rate not offered" 2 "" "$(usage " monitor" "-b takes $rates, not 1234")" \
    monitor /dev/null -b 1234
check "monitor on no terminal" 2 "" "$(usage " monitor" "/dev/null is no terminal")" \
    monitor /dev/null -b 9600
check "monitor two devices" 2 "" "$(usage " monitor" "one DEVICE at a time, not '/dev/null' and 'x'")" \
    monitor /dev/null x -b 9600
check "send without a device" 2 "" "$(usage " send" "no DEVICE given")" send -b 9600 -V 2 -a 1 -c 1
check "send a payload too long" 2 "" \
    "$(usage " send" "a version-1 payload takes at most 252 bytes, not 253")" \
    send /dev/null -b 9600 -V 1 -a 1 -c 1 "$(repeat 253 80)"
check "send a reply wait too long" 2 "" \
    "$(usage " send" "-r takes a number from 0 to 3600000, not '3600001'")" \
    send /dev/null -b 9600 -V 2 -a 1 -c 1 -r 3600001

check "scan --pcap without a file" 2 "" "$(usage " scan" "option --pcap needs a file")" \
    scan "$work/big" --pcap
check "scan --pcap where no file can be" 2 "" \
    "$(usage " scan" "cannot open $work/none/x.pcap: No such file or directory")" \
    scan --pcap "$work/none/x.pcap" "$work/big"
check "pack takes no --pcap" 2 "" "$(usage " pack" "unknown option '--pcap'")" \
    pack --pcap x -V 2 -a 1 -c 1

# An output file never destroys the input: the capture is checked against
# the input, and created only once every check has passed.
cp "$work/big" "$work/keep"
kept=$(cksum <"$work/keep")
itself="$(usage " scan" "cannot write $work/keep: it is the input")"
check "scan --pcap onto its own input" 2 "" "$itself" scan --pcap "$work/keep" "$work/keep"
input=$work/keep
check "scan --pcap onto its standard input" 2 "" "$itself" scan --pcap "$work/keep"
input=/dev/null
check "monitor refused before it touches its capture file" 2 "" \
    "$(usage " monitor" "/dev/null is no terminal")" monitor /dev/null -b 9600 --pcap "$work/keep"
if [ "$(cksum <"$work/keep")" = "$kept" ]; then
    echo "ok: the input left whole"
else
    echo "FAIL: the input was overwritten"
    failures=$((failures + 1))
fi

# With standard output closed the lines go nowhere, and not into the capture
# file that would take its place.
$emulator "$tool" scan --pcap "$work/closed.pcap" <"$work/big" >&- 2>"$work/err"
# shellcheck disable=SC2181 # the status of the run above, whose redirections would crowd an if
if [ $? = 0 ] && [ "$(wc -c <"$work/closed.pcap")" -eq $((24 + 2 * (16 + 10))) ]; then
    echo "ok: scan --pcap with standard output closed"
else
    echo "FAIL: scan --pcap with standard output closed: $(wc -c <"$work/closed.pcap") bytes"
    failures=$((failures + 1))
fi

# A capture's reader that goes away is a failed write, said, with status 3.
bytes 55 BB 01 02 12 34 AB CD C1 01 >"$work/many"
for i in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15; do
    cat "$work/many" "$work/many" >"$work/twice" && mv "$work/twice" "$work/many"
done
mkfifo "$work/fifo"
# Bounded, so that a tool that never opens the FIFO cannot hang the test.
timeout 10 head -c 1 "$work/fifo" >/dev/null &
output=/dev/null
check "scan --pcap into a FIFO whose reader goes away" 3 "" \
    "sci scan: cannot write $work/fifo: Broken pipe" scan --pcap "$work/fifo" "$work/many"
output=
wait

case $($emulator "$tool" --help) in
*"sci scan [-a ADDR] [-c CMD] [--pcap PCAP] [FILE|-]"*"sci monitor DEVICE"*"[--pcap PCAP]"*)
    echo "ok: the usage names --pcap for scan and monitor" ;;
*)
    echo "FAIL: the usage does not name --pcap for scan and monitor"
    failures=$((failures + 1))
    ;;
esac

check "scan missing file" 2 "" \
    "$(usage " scan" "cannot open $work/none: No such file or directory")" scan "$work/none"
check "scan two files" 2 "" "$(usage " scan" "one capture at a time, not 'a' and 'b'")" scan a b

# serve refuses a table with a mistake before it touches the line: one line
# naming the file, the line and the mistake, status 2.
while IFS='|' read -r name rule why; do
    printf '# rules\n2 9 * ignore # fine\n\n%s\n' "$rule" >"$work/table"
    check "serve table: $name" 2 "" "$(usage " serve" "$work/table:4: $why")" \
        serve /dev/null -b 115200 --table "$work/table"
done <<EOF
unknown action|2 1 0x10 answer 01|unknown action 'answer'
no action|2 1 0x10|a rule needs VERSION ADDR CMD and an action
version out of range|3 1 0x10 ignore|VERSION is 1, 2 or *, not '3'
address out of range|2 256 0x10 ignore|ADDR is 0 to 255 or *, not '256'
command not a number|2 1 0x1G ignore|CMD is 0 to 0xFFFF or *, not '0x1G'
payload too long for version 1, which * answers|* 1 0x10 reply $(repeat 253 00)|a reply of 253 bytes is too long for version 1
payload too long for version 2|2 1 0x10 reply $(repeat 256 00)|reply payload: more than 255 bytes
odd hex|2 1 0x10 reply 0|reply payload: odd number of hex digits
cut as long as the frame|2 1 0x10 reply 01 cut 9|cut 9: the reply has only 9 bytes
bad-checksum and cut|2 1 0x10 echo bad-checksum cut 3|bad-checksum or cut, not both
delay before ignore|2 1 * delay 5 ignore|delay and noise go only before reply or echo, not 'ignore'
noise after the answer|2 1 * echo noise 4|noise goes before reply or echo
exit status out of range|* * 0xFE exit 256|exit takes a status from 0 to 255, not '256'
words after ignore|2 1 * ignore 01|'01' after ignore
EOF
check "serve missing table" 2 "" "$(usage " serve" "$work/none: No such file or directory")" \
    serve /dev/null -b 115200 --table "$work/none"
check "replay a file that is no capture" 2 "" \
    "$(usage " replay" "$work/table: not a classic pcap file")" replay "$work/table" /dev/null -b 9600
check "send cut as long as the frame" 2 "" "$(usage " send" "cut 10: the frame has only 10 bytes")" \
    send /dev/null -b 9600 -V 2 -a 1 -c 2 AB CD cut 10

[ "$failures" -eq 0 ] || { echo "$failures case(s) failed"; exit 1; }
echo "all cases passed"
