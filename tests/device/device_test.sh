#!/bin/bash
# SPDX-License-Identifier: MIT
# shellcheck disable=SC2317 # functions called through eventually
# The emulated device (scripts/device.sh) booted from an ARM build: its kernel
# is 32-bit ARM; the responder answers the version request across the SCI line
# (sci send -r, korvi_sci); after its exit command the supervisor logs it and
# starts it again; a burst of echoes is answered whole; the supervisor's own
# test programs pass on the device's kernel; SIGTERM powers it off cleanly.
#   device_test.sh SOURCE BUILD [EMULATOR...]
# KORVI_PYTHON runs korvi_sci (with PYTHONPATH and LD_LIBRARY_PATH set).
set -u
src=$1 build=$2
shift 2
emulator=("$@")
read -ra python <<<"$KORVI_PYTHON"
tmp=$(mktemp -d /tmp/korvi-device-test.XXXXXX)
status=0
fail() {
    echo "FAIL: $*"
    status=1
}
# eventually SECONDS COMMAND...: polls until COMMAND succeeds, at most SECONDS.
eventually() {
    local end=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt "$end" ] || return 1
        sleep 0.2
    done
}

# The supervisor's tests at the paths they were built to find their probe and
# source at, with the ARM probe in the place of the one built for this machine.
overlay=$tmp/overlay
for f in "$build/tests/daemon_test" "$build/tests/daemon_fault_test" \
    "$src/core/src/core/daemon/daemon.cpp"; do
    mkdir -p "$overlay${f%/*}" && cp "$f" "$overlay$f"
done
cp "$build/tests/daemon_probe" "$overlay$build/tests/daemon_probe_host"

mkfifo "$tmp/keys"
exec 3<>"$tmp/keys"
start=$SECONDS
"$src/scripts/device.sh" --build "$build" --sci-link "$tmp/sci" --console "$tmp/console" \
    --overlay "$overlay" <&3 >"$tmp/out" 2>&1 &
device=$!
trap 'kill -TERM $device 2>/dev/null; wait $device; rm -rf "$tmp"' EXIT
if ! eventually 90 grep -qx "device ready: SCI line at $tmp/sci" "$tmp/out"; then
    cat "$tmp/out"
    exit 1
fi
echo "booted in $((SECONDS - start)) s"

# on_device COMMAND: types COMMAND on the console, then its end mark.
typed=0
on_device() { typed=$((typed + 1)) && printf '%s; echo "=%s=$?="\n' "$1" $typed >&3; }
# ended SECONDS N: the exit status of the Nth command typed, once it ends.
ended() {
    eventually "$1" grep -q "^=$2=[0-9]*=" "$tmp/console" || return 124
    return "$(sed -n "s/^=$2=\([0-9]*\)=.*/\1/p" "$tmp/console")"
}
# shellcheck disable=SC2016 # expanded on the device
on_device '[ "$(uname -m)" = armv7l ]'
ended 10 1 || fail "uname -m on the device is not armv7l"
# The supervisor's own tests, while the SCI line is tried.
on_device "$build/tests/daemon_test && $build/tests/daemon_fault_test"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
hex=$(printf %s "$version" | od -An -tx1 | tr a-f A-F | sed 's/^ *//')
send() { "${emulator[@]}" "$build/tools/sci/sci" send "$tmp/sci" -b 115200 -V 2 -a 1 "$@"; }
version_answered() {
    send -c 0x0001 -r 1000 2>&1 | grep -q "addr 0x01 cmd 0x0001 len ${#version} checksum ok $hex\$"
}
eventually 15 version_answered || fail "sci send -r: no version $version in reply ($hex)"
got=$("${python[@]}" "$src/tests/device/pc_side.py" "$tmp/sci" version 2>&1)
[ "$got" = "$version" ] || fail "Link.request: '$got', not the version $version"

line='proc [/app/bin/sci-responder] is not running,now bring it up...'
before=$(grep -cF "$line" "$tmp/console")
restarted() { [ "$(grep -cF "$line" "$tmp/console")" -gt "$before" ]; }
since=$SECONDS
send -c 0x00FE || fail "the exit command was not sent"
eventually 15 restarted || fail "the supervisor did not log: $line"
if eventually $((15 - (SECONDS - since))) version_answered; then
    echo "answered again $((SECONDS - since)) s after the exit command"
else
    fail "no version reply within 15 s of the exit command"
fi

timeout 60 "${python[@]}" "$src/tests/device/pc_side.py" "$tmp/sci" burst 1000 || fail "the burst of echoes"

ended 170 2 || fail "the supervisor's tests on the device: status $?"
grep -q '^\[       OK \] StartContract.KernelWithoutCloseRange' "$tmp/console" ||
    fail "StartContract.KernelWithoutCloseRange did not run and pass on the device"
grep '^\[  SKIPPED \]' "$tmp/console" && fail "a test skipped on the device"

kill -TERM $device
off() { ! kill -0 "$device" 2>/dev/null; }
eventually 60 off || fail "SIGTERM did not power the device off"
wait $device || fail "device.sh ended with status $?, not 0"
pgrep -af -- "-initrd $build/device/initrd.cpio" && fail "qemu-system-arm left running"
[ ! -e "$tmp/sci" ] || fail "the SCI line's link left behind"
echo "device test: $((SECONDS - start)) s"
[ $status -eq 0 ] || { echo "the console's last lines:" && tail -n 40 "$tmp/console"; }
[ $status -eq 0 ] || { echo "frames the responder did not answer:" &&
    grep -a ' -> ' "$tmp/console" | grep -v -e ' -> echo' -e ' -> reply' -e ' -> exit'; }
exit $status
