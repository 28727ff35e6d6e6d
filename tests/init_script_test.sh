#!/bin/bash
# SPDX-License-Identifier: MIT
# The sample start-up script for a BusyBox-style init (examples/device) with
# the real supervisor, in a private root (see scripts/private_root.sh): status,
# start, a second start, restart and stop, and which processes run after each.
# Run once with this system's sh and start-stop-daemon, once with BusyBox's.
#   init_script_test.sh SCRIPT DAEMON BUILD_DIR
set -euo pipefail
script=$(realpath "$1")
daemon=$(realpath "$2")
build=$(realpath "$3")
here=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d /tmp/init_script.XXXXXX)
trap 'rm -rf "$work"' EXIT
cat >"$work/check.sh" <<'EOF'
# Runs inside the private root: check.sh system|busybox DAEMON
set -u
export DAEMON=$2
shell=sh
if [ "$1" = busybox ]; then
    export PATH=/busybox:$PATH
    shell=/busybox/sh
fi
failures=0
pidfile=/var/run/daemon.pid

ok() { echo "ok: $1: $2"; }
fail() { echo "FAIL: $1: $2"; failures=$((failures + 1)); }
# expect WHAT STATUS OUTPUT ACTION: runs the script with ACTION.
expect() {
    local out status
    out=$($shell /etc/init.d/S90daemon "$4" 2>&1)
    status=$?
    if [ "$status" = "$2" ] && [ "$out" = "$3" ]; then
        ok "$1" "$4 said [$out], status $status"
    else
        fail "$1" "$4 said [$out], status $status; expected [$3], status $2"
    fi
}
daemon_pid() { cat "$pidfile" 2>/dev/null; }
# Whether process $1 is the supervisor (not gone, not a zombie).
is_daemon() { [ "$(readlink "/proc/$1/exe" 2>/dev/null)" = "$DAEMON" ]; }
# Process ids of the running copies of the supervised program.
services() {
    local p
    for p in /proc/[0-9]*; do
        grep -qs /progs/service "$p/cmdline" && [ -n "$(readlink "$p/exe")" ] && echo "${p#/proc/}"
    done
}
one_service() { [ "$(services | wc -l)" = 1 ]; }
# Polls up to 10 s for a command to succeed: processes start and end on their
# own time.
within() {
    local i
    for i in $(seq 100); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

expect "before start" 3 "daemon is stopped" status
expect "start" 0 "Starting daemon: OK" start
first=$(daemon_pid)
within is_daemon "$first" && ok start "supervisor runs as $first" || fail start "no supervisor at [$first]"
within one_service && ok start "its program runs" || fail start "programs running: [$(services)]"
service=$(services)

expect "second start" 0 "Starting daemon: already running" start
[ "$(daemon_pid)" = "$first" ] && one_service && [ "$(services)" = "$service" ] &&
    ok "second start" "nothing started" ||
    fail "second start" "supervisor [$(daemon_pid)], programs [$(services)]"
expect "running" 0 "daemon is running" status

expect "restart" 0 "Stopping daemon: OK
Starting daemon: OK" restart
second=$(daemon_pid)
restarted() { ! is_daemon "$first" && is_daemon "$second" && one_service && [ "$(services)" != "$service" ]; }
if within restarted; then
    ok restart "supervisor $first and its program ended, $second runs one new copy"
else
    fail restart "supervisors [$first $second], programs [$(services)], first copy $service"
fi

expect "stop" 0 "Stopping daemon: OK" stop
stopped() { ! is_daemon "$second" && [ -z "$(services)" ] && [ ! -e "$pidfile" ]; }
if within stopped; then
    ok stop "supervisor and program ended, no process id file"
else
    fail stop "programs [$(services)], pid file: $(daemon_pid)"
fi
expect "second stop" 0 "Stopping daemon: not running" stop
exit $((failures > 0))
EOF

busybox=$(command -v busybox)
status=0
for variant in system busybox; do
    echo "--- $variant sh and start-stop-daemon"
    root=$work/$variant
    mkdir -p "$root"/{etc/init.d,var/run,opt/conf,progs,busybox}
    cp "$script" "$root/etc/init.d/S90daemon"
    cp "$work/check.sh" "$root/"
    printf '#!/bin/sh\nwhile :; do sleep 1; done\n' >"$root/progs/service"
    chmod +x "$root/progs/service"
    echo /progs/service >"$root/opt/conf/daemon.conf"
    for applet in $(busybox --list); do
        ln -s "$busybox" "$root/busybox/$applet"
    done
    "$here/../scripts/private_root.sh" --bind "$build" "$root" /bin/bash /check.sh "$variant" "$daemon" ||
        status=1
done
exit $status
