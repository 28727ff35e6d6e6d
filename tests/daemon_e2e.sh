#!/bin/bash
# SPDX-License-Identifier: MIT
# End to end: the real daemon with its three fixed list files, in a private
# root (see scripts/private_root.sh). Shows programs from the three lists
# started in list order, the start contract as a started program sees it, and
# a program killed from outside back within one pass.
#   daemon_e2e.sh DAEMON PROBE BUILD_DIR [TARGET_PROBE EMULATOR...]
#
# A target build's supervisor (ARM) runs through EMULATOR (qemu-arm -L
# SYSROOT). The emulator hands the supervisor's exec to the kernel, so PROBE,
# built for this machine, runs as it stands; TARGET_PROBE, the target's own
# build, runs in its place where the kernel lets the private root register the
# emulator for ARM executables (binfmt_misc in a user namespace: Linux 6.7 on).
#
# --valgrind runs the supervisor under memcheck and ends it with SIGTERM at the
# end, whose default action lets memcheck report: no error, no leak, and no
# descriptor open beyond the ones it was started with.
set -euo pipefail
valgrind=
if [ "${1:-}" = --valgrind ]; then
    valgrind=yes
    shift
fi
daemon=$(realpath "$1")
probe_file=$2
build=$(realpath "$3")
target_probe=${4:-}
[ $# -gt 4 ] && shift 4 || shift $#
emulator=("$@")
here=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d /tmp/daemon_e2e.XXXXXX)
root=$work/root
token=e2e$$x
runner=
cleanup() {
    [ -n "$runner" ] && kill -TERM "$runner" 2>/dev/null || true
    # every process of the private root ends with it
    for _ in $(seq 50); do pgrep -f "$token" >/dev/null || break; sleep 0.1; done
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- supervisor log"; cat "$work/log" || true; exit 1; }

mkdir -p "$root"/{opt/conf,app/conf,user/conf,progs,tmp}
for p in a b c; do
    printf '#!/bin/sh\nwhile :; do sleep 1; done\n' >"$root/progs/$token-$p"
    chmod +x "$root/progs/$token-$p"
done

run=("$daemon")
root_options=(--bind "$build")
if [ -n "$target_probe" ]; then
    run=("${emulator[@]}" "$daemon")
    if unshare --user --map-root-user --mount mount -t binfmt_misc binfmt_misc "$work" 2>/dev/null; then
        # 32-bit little-endian ARM ELF executables, static or PIE. F: the
        # emulator is opened now, outside the chroot; P: argv[0] is kept.
        magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00'
        mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
        root_options+=(--binfmt ":korvi-arm:M::$magic:$mask:$(command -v "${emulator[0]}"):FP")
        # Started that way, the emulator takes the target's loader and libc
        # from the sysroot named in the environment, which children inherit.
        for ((i = 1; i < ${#emulator[@]}; i++)); do
            if [ "${emulator[i - 1]}" = -L ]; then export QEMU_LD_PREFIX=${emulator[i]}; fi
        done
        probe_file=$target_probe
        echo "note: the probe is the target's, run by ${emulator[0]} through binfmt_misc in the private root"
    else
        echo "note: no binfmt_misc in a user namespace on Linux $(uname -r): the probe is built for this machine"
    fi
fi
if [ -n "$valgrind" ]; then
    # Memcheck reports on SIGTERM, then ends itself by the signal's default
    # action, which the kernel never applies to a namespace's first process:
    # so a shell comes first, and the supervisor is its child. The report goes
    # into the log, so memcheck holds no descriptor the supervisor passes on.
    run=(/bin/sh -c '"$@" & wait' sh valgrind --log-fd=2 --track-fds=yes --leak-check=full
        --child-silent-after-fork=yes --vgdb=no "${run[@]}")
fi
cp "$probe_file" "$root/progs/$token-probe"
probe=/progs/$token-probe
printf '/progs/%s-a\n' "$token" >"$root/opt/conf/daemon.conf"
printf '/progs/%s-b extra words\n' "$token" >"$root/app/conf/start_config"
printf '%s\n/progs/%s-c\n' "$probe" "$token" >"$root/user/conf/daemon.conf"

host_before=$(ls -laR --time-style=full-iso /opt /app /user 2>&1 || true)

# The supervisor starts with whatever descriptors this script has, and one
# more (7): its programs must get none of them. Memcheck counts what the
# supervisor holds at the end, so there only 7 is added to the standard three.
(
    if [ -n "$valgrind" ]; then
        for fd in /proc/self/fd/*; do
            n=${fd##*/}
            [ "$n" -gt 2 ] && eval "exec $n>&-" 2>/dev/null || true
        done
    fi
    exec 7<"$root/opt/conf/daemon.conf"
    export PROBE_OUT=/tmp/probe.report
    exec "$here/../scripts/private_root.sh" "${root_options[@]}" "$root" "${run[@]}" \
        </dev/null >/dev/null 2>"$work/log"
) &
runner=$!

wait_for() { # seconds, description, command...
    local bound=$1 what=$2
    shift 2
    for _ in $(seq $((bound * 10))); do
        "$@" && return 0
        sleep 0.1
    done
    fail "$what (waited ${bound}s)"
}
log_has() { grep -qF -- "$1" "$work/log"; }

all_started() { [ "$(grep -c 'start - pid=' "$work/log")" -eq 4 ]; }
wait_for 20 "all four programs started" all_started
order=$(sed -n 's/.*start - pid=[0-9]*, \(.*\) $/\1/p' "$work/log" | tr '\n' ' ')
expected="/progs/$token-a /progs/$token-b $probe /progs/$token-c "
[ "$order" = "$expected" ] || fail "start order [$order], expected [$expected]"
echo "ok: started in list order: $order"
log_has "daemon file" && fail "a list file was reported missing"
log_has "ERROR" && fail "a fault was logged at start-up"
grep -q "INFO daemon.cpp:[0-9]* ready_for_sub_process: file name : /progs/$token-b$" "$work/log" ||
    fail "file name line for b"

wait_for 10 "probe report" grep -qs '^end$' "$root/tmp/probe.report"
report=$(cat "$root/tmp/probe.report")
check() { grep -qx -- "$1" <<<"$report" || fail "probe: expected $1 in: $report"; }
grep -qxE 'argc=0|argc=1' <<<"$report" || fail "probe argc: $report"
grep -q '^argc=0$' <<<"$report" && check 'argv0=(null)'
grep -q '^argc=1$' <<<"$report" && check 'argv0=(empty)'
check 'fd0=/dev/null'
check 'fd1=/dev/null'
check 'fd2=/dev/null'
check 'stdin=eof'
check 'other_fds='
check 'sigchld=ignored'
echo "ok: start contract: empty vector, standard streams on /dev/null, none of the supervisor's other descriptors, SIGCHLD ignored"

# Logged as started once forked; running once its program runs.
b_runs() { pgrep -f "/progs/$token-b" >/dev/null; }
wait_for 10 "b running" b_runs
victim=$(pgrep -f "/progs/$token-b")
kill -KILL "$victim"
killed_at=$(date +%s.%N)
# One pass over four slots takes 4 x 300 ms + 5 s.
b_is_back() { pgrep -f "/progs/$token-b" | grep -vqx "$victim"; }
wait_for 30 "b restarted" b_is_back
back_at=$(date +%s.%N)
log_has "ERROR daemon.cpp" || fail "no restart message"
grep -q "check_proc_status: proc \[/progs/$token-b\] is not running,now bring it up...$" "$work/log" ||
    fail "restart message for b"
restarts=$(grep -c "is not running" "$work/log")
[ "$restarts" -eq 1 ] || fail "$restarts restarts, expected 1"
echo "ok: killed program back after $(awk "BEGIN { printf \"%.1f\", $back_at - $killed_at }") s, one restart message"

if [ -n "$valgrind" ]; then
    # runner -> unshare -> the shell, first in the namespace -> memcheck
    init=$(pgrep -P "$(pgrep -P "$runner" -x unshare)")
    memcheck=$(pgrep -P "$init" -f valgrind) || fail "memcheck is not running"
    kill -TERM "$memcheck"
    wait_for 30 "memcheck's report" log_has "ERROR SUMMARY:"
    grep -E '^==[0-9]+== +(Process terminating|FILE DESCRIPTORS|in use at exit|definitely|possibly|ERROR SUMMARY)' \
        "$work/log"
    log_has "Process terminating with default action of signal 15 (SIGTERM)" ||
        fail "memcheck did not see the supervisor end by SIGTERM"
    # Leak checking in full counts definite and possible leaks as errors.
    log_has "ERROR SUMMARY: 0 errors" || fail "memcheck found errors"
    # The standard three and the inherited 7.
    log_has "FILE DESCRIPTORS: 4 open (3 std) at exit." || fail "descriptors left open"
    echo "ok: under memcheck: no error, no leak, only the descriptors it was given open at the end"
fi

kill -TERM "$runner" 2>/dev/null || [ -n "$valgrind" ] # there the root has ended with memcheck
wait "$runner" 2>/dev/null || true
runner=
none_left() { ! pgrep -f "$token" >/dev/null; }
wait_for 10 "every process of the private root gone" none_left
echo "ok: ending the supervisor's root ended every program"

host_after=$(ls -laR --time-style=full-iso /opt /app /user 2>&1 || true)
[ "$host_before" = "$host_after" ] || fail "the host's /opt, /app or /user changed"
echo "ok: host /opt, /app and /user untouched"
