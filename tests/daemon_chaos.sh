#!/bin/bash
# SPDX-License-Identifier: MIT
# Chaos run of the real daemon in a private root (see scripts/private_root.sh):
# the three lists fill all 64 slots (a 65th program is refused), then the
# running programs are killed at random for SECONDS. Every killed program must
# be back within one pass, no zombie may be left, and the supervisor must end
# the run with the descriptors and memory it had at its start. Prints kills,
# restarts, passes, and the supervisor's descriptors and memory at start and
# end.
#   daemon_chaos.sh SECONDS [BUILD_DIR]    (BUILD_DIR: build/host by default)
# CHAOS_SEED=N repeats the choice of victims and pauses of an earlier run.
set -euo pipefail
seconds=$1
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "${2:-$here/../build/host}")
daemon=$build/core/src/core/daemon/daemon
idle=$build/tests/daemon_probe # without PROBE_OUT it only waits to be killed
seed=${CHAOS_SEED:-$((SRANDOM % 100000))}
RANDOM=$seed

slots=64
pass_us=$((slots * 300000 + 5000000))
bound_us=35000000 # one pass is 24.2 s; the rest is slack for a loaded machine
# Private_Dirty may move by a page or two as the stack and stdio buffers are
# touched; a leak would grow with the number of restarts.
dirty_slack_kib=16

work=$(mktemp -d /tmp/daemon_chaos.XXXXXX)
root=$work/root
runner=
cleanup() {
    [ -n "$runner" ] && kill -TERM "$runner" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    echo "--- end of the supervisor log"
    tail -n 20 "$work/log" || true
    exit 1
}
now_us() { echo "${EPOCHREALTIME/./}"; }
secs() { awk "BEGIN { printf \"%.1f\", $1 / 1000000 }"; }

mkdir -p "$root"/{opt/conf,app/conf,user/conf,progs}
for i in $(seq -w 0 $slots); do
    ln -s "$idle" "$root/progs/chaos$i"
done
list() { for i in $(seq -w "$1" "$2"); do echo "/progs/chaos$i"; done; }
list 00 19 >"$root/opt/conf/daemon.conf"
list 20 39 >"$root/app/conf/start_config"
list 40 64 >"$root/user/conf/daemon.conf"

(
    for fd in /proc/self/fd/*; do
        n=${fd##*/}
        [ "$n" -gt 2 ] && eval "exec $n>&-" 2>/dev/null || true
    done
    exec "$here/../scripts/private_root.sh" --bind "$build" "$root" "$daemon" \
        </dev/null >/dev/null 2>"$work/log"
) &
runner=$!

# The supervisor is the first process of the namespace.
supervisor() {
    local p
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] || continue
        grep -qE '^NSpid:.*[[:space:]]1$' "$p/status" 2>/dev/null && echo "${p#/proc/}" && return
    done
    return 0
}
dpid=
for _ in $(seq 100); do
    dpid=$(supervisor)
    [ -n "$dpid" ] && break
    sleep 0.1
done
[ -n "$dpid" ] || fail "the supervisor did not start"

# pid_of[NAME]: the running process of each slot; zombies: children left unreaped.
declare -A pid_of
zombies=
scan() {
    local pid stat comm
    pid_of=()
    zombies=
    while read -r pid stat comm; do
        case $stat in Z*) zombies="$zombies $pid" ;; esac
        case $comm in chaos*) pid_of[$comm]=$pid ;; esac
    done < <(ps --ppid "$dpid" -o pid=,stat=,comm=)
}
# shellcheck disable=SC2012 # descriptor numbers: no name has a blank or a line feed
fds() { ls "/proc/$dpid/fd" | wc -l; }
kib() { awk -v k="$1:" '$1 == k { print $2 }' "$2"; }
sample() { # prefix
    eval "$1_fds=$(fds)"
    eval "$1_rss=$(kib VmRSS "/proc/$dpid/status")"
    eval "$1_dirty=$(kib Private_Dirty "/proc/$dpid/smaps_rollup")"
}

for _ in $(seq 200); do
    scan
    [ ${#pid_of[@]} -ge $slots ] && break
    sleep 0.1
done
[ ${#pid_of[@]} -eq $slots ] || fail "${#pid_of[@]} programs running, expected $slots"
[ -z "${pid_of[chaos64]:-}" ] || fail "a 65th program was started"
started_us=$(now_us)
echo "all $slots slots running (supervisor pid $dpid); killing at random for $seconds s, seed $seed"

declare -A killed_at old_pid
kills=0 back=0 back_sum=0 back_max=0
# What sample() records, through eval: nothing until the first restart.
start_fds='' start_rss='' start_dirty='' end_fds='' end_rss='' end_dirty=''
next_kill=$started_us
end_us=$((started_us + seconds * 1000000))
while :; do
    scan
    now=$(now_us)
    kill -0 "$dpid" 2>/dev/null || fail "the supervisor is gone"
    [ -z "${pid_of[chaos64]:-}" ] || fail "a 65th program was started"
    for s in "${!killed_at[@]}"; do
        p=${pid_of[$s]:-}
        took=$((now - killed_at[$s]))
        if [ -n "$p" ] && [ "$p" != "${old_pid[$s]}" ]; then
            back=$((back + 1))
            back_sum=$((back_sum + took))
            [ $took -gt $back_max ] && back_max=$took
            unset "killed_at[$s]" "old_pid[$s]"
            # The first restart has run every path of the loop once:
            # from here on nothing should grow.
            [ -z "$start_fds" ] && sample start
        elif [ $took -gt $bound_us ]; then
            fail "$s not back $(secs $took) s after it was killed"
        fi
    done
    for z in $zombies; do
        grep -qw "$z" <<<"${last_zombies:-}" && fail "zombie $z left behind"
    done
    last_zombies=$zombies
    if [ "$now" -ge "$end_us" ]; then
        [ ${#killed_at[@]} -eq 0 ] && break
    elif [ "$now" -ge "$next_kill" ] && [ ${#pid_of[@]} -gt 0 ]; then
        # One or two programs every 0.5 to 3 s, close to one a second: with
        # half a pass to wait on average, about a dozen slots are down at once.
        names=("${!pid_of[@]}")
        for _ in $(seq $((RANDOM % 2 + 1))); do
            s=${names[RANDOM % ${#names[@]}]}
            [ -n "${killed_at[$s]:-}" ] && continue
            kill -KILL "${pid_of[$s]}" 2>/dev/null || continue
            killed_at[$s]=$now
            old_pid[$s]=${pid_of[$s]}
            kills=$((kills + 1))
        done
        next_kill=$((now + (RANDOM % 26 + 5) * 100000))
    fi
    sleep 0.1
done
[ -n "$start_fds" ] || fail "nothing was killed"
sample end
elapsed=$(($(now_us) - started_us))

scan
[ ${#pid_of[@]} -eq $slots ] || fail "${#pid_of[@]} programs running at the end, expected $slots"
[ -z "$zombies" ] || fail "zombies left at the end:$zombies"
restarts=$(grep -c "is not running,now bring it up" "$work/log" || true)
limits=$(grep -c "process num support max 64 $" "$work/log" || true)

echo "run:       $(secs "$elapsed") s, about $((elapsed / pass_us)) passes of $(secs $pass_us) s"
echo "kills:     $kills, restarts logged: $restarts"
echo "back after: mean $(secs $((back_sum / back))) s, longest $(secs "$back_max") s" \
    "(bound $(secs $bound_us) s)"
echo "supervisor at start: $start_fds descriptors, VmRSS $start_rss KiB," \
    "Private_Dirty $start_dirty KiB"
echo "supervisor at end:   $end_fds descriptors, VmRSS $end_rss KiB, Private_Dirty $end_dirty KiB"

[ "$restarts" -eq "$kills" ] || fail "$restarts restarts for $kills kills"
[ "$limits" -eq 1 ] || fail "the table limit was logged $limits times, expected once"
[ "$end_fds" -eq "$start_fds" ] || fail "descriptors went from $start_fds to $end_fds"
[ "$end_dirty" -le $((start_dirty + dirty_slack_kib)) ] ||
    fail "Private_Dirty grew from $start_dirty to $end_dirty KiB"
[ "$end_rss" -le $((start_rss + dirty_slack_kib)) ] ||
    fail "VmRSS grew from $start_rss to $end_rss KiB"
echo "ok: every killed program back within one pass, no zombie, descriptors and memory flat"

kill -TERM "$runner"
wait "$runner" 2>/dev/null || true
runner=
left() {
    local p
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && return 0
    done
    return 1
}
for _ in $(seq 50); do left || break; sleep 0.1; done
left && fail "processes of the private root outlived it"
echo "ok: ending the private root ended the supervisor and all its programs"
