#!/bin/bash
# SPDX-License-Identifier: MIT
# Footprint of the supervisor beside other supervisors from Debian's packages,
# each keeping the same programs alive in a private root (scripts/private_root.sh):
# memory of its supervising processes (RSS, PSS, private dirty, summed over all
# of them, from /proc/PID/smaps_rollup), their CPU time while idle, the
# stripped size of their executables, and the time from killing a supervised
# program to its new process. Prints one table.
#
#   benchmarks/footprint.sh [--daemon PATH] [--idle SECONDS] [--programs "8 64"]
#                           [--kills N]
#
# --daemon   a supervisor binary already built (with lib_sdk.so where its
#            run path says); by default it is built in build/bench
# --idle     seconds of idle CPU time to measure (default 60)
# --programs the numbers of supervised programs (default "8 64")
# --kills    restarts timed per run (default 3): each kills a program picked
#            at random, 1 to 11 s (at random) after the previous restart
#
# The supervised program is idle_child: it notes its start time to the
# nanosecond in the root's /tmp/idle_child.starts and waits for ever, so a
# restart is timed from the kill to the new process's first instruction of
# its own. Every supervisor runs as process 1 of its pid namespace, as BusyBox
# init must.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=build/bench

daemon=
idle=60
counts="8 64"
kills=3
while [ $# -gt 0 ]; do
    case $1 in
    --daemon) daemon=$(realpath "$2") ;;
    --idle) idle=$2 ;;
    --programs) counts=$2 ;;
    --kills) kills=$2 ;;
    *)
        sed -n '/^#   benchmarks/,/^# --kills/p' "$0" | cut -c3- >&2
        exit 2
        ;;
    esac
    shift 2
done

scripts/deps.sh bench
cmake -S . -B $build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVI_BUILD_BENCHMARKS=ON \
    -DKORVI_BUILD_TESTS=OFF >/dev/null
cmake --build $build --target idle_child >/dev/null
idle_child=$repo/$build/benchmarks/idle_child
daemon_note="not built"
if [ -z "$daemon" ]; then
    if cmake --build $build -j "$(nproc)" --target daemon >"$build/daemon_build.log" 2>&1; then
        daemon=$repo/$build/core/src/core/daemon/daemon
    else
        daemon_note="not built (see $build/daemon_build.log)"
    fi
fi
if [ -n "$daemon" ] && [ ! -x "$daemon" ]; then
    daemon_note="not built ($daemon missing)"
    daemon=
fi

work=$(mktemp -d)
runner_pid=
ns_root_pid=
trap 'stop_run; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

kib() {
    echo $((($1 + 1023) / 1024))
}

# Stripped size in bytes of the files named, added up.
stripped_size() {
    local total=0 f
    for f in "$@"; do
        strip -o "$work/stripped" "$f"
        total=$((total + $(stat -c %s "$work/stripped")))
    done
    echo "$total"
}

# The shared libraries that the files named need beyond glibc's own, each once.
own_libraries() {
    { ldd "$@" 2>/dev/null || true; } |
        awk '$2 == "=>" && $3 ~ /^\// && $1 !~ /^(libc|libm|libdl|libpthread|librt|libresolv)\.so/ {
            print $3 }' | sort -u
}

# Starts COMMAND in a fresh private root prepared by the caller in $root, and
# finds process 1 of its pid namespace: the first process below the runner
# that is in another pid namespace than this script.
start_run() {
    local queue kids p
    "$repo/scripts/private_root.sh" "${binds[@]}" "$root" "$@" >"$work/run.log" 2>&1 &
    runner_pid=$!
    for _ in $(seq 200); do
        queue=("$runner_pid")
        while [ ${#queue[@]} -gt 0 ]; do
            p=${queue[0]}
            queue=("${queue[@]:1}")
            if [ -e "/proc/$p/ns/pid" ] && ! [ "/proc/$p/ns/pid" -ef /proc/$$/ns/pid ]; then
                ns_root_pid=$p
                return 0
            fi
            mapfile -t kids < <(pgrep -P "$p")
            queue+=("${kids[@]}")
        done
        sleep 0.05
    done
    return 1
}

# Ends the run: the runner kills the namespace and every process in it.
stop_run() {
    if [ -n "$runner_pid" ]; then
        kill -TERM "$runner_pid" 2>/dev/null || true
        wait "$runner_pid" 2>/dev/null || true
        runner_pid=
    fi
}

# The processes of the run's pid namespace: the supervised programs
# ("programs") or the rest, which supervise them ("supervisors").
processes() {
    local p
    for p in /proc/[0-9]*; do
        [ "$p/ns/pid" -ef "/proc/$ns_root_pid/ns/pid" ] 2>/dev/null || continue
        if [ "$p/exe" -ef "$root/opt/prog/idle" ]; then
            [ "$1" = programs ] && echo "${p#/proc/}"
        else
            [ "$1" = supervisors ] && echo "${p#/proc/}"
        fi
    done | sort -n
}

# Nanoseconds on a CPU so far, summed over the processes named.
cpu_ns() {
    local total=0 p line
    for p in "$@"; do
        read -r line 2>/dev/null <"/proc/$p/schedstat" || continue
        total=$((total + ${line%% *}))
    done
    echo "$total"
}

starts() {
    local n
    n=$(wc -l 2>/dev/null <"$root/tmp/idle_child.starts") || n=0
    echo "$n"
}

# Kills one supervised program and prints the milliseconds until the next
# program start, or "-" when none comes within a minute.
time_restart() {
    local victim=$1 before t0 last
    before=$(starts)
    t0=${EPOCHREALTIME//[.,]/}
    kill -KILL "$victim" || {
        echo -
        return
    }
    for _ in $(seq 3000); do
        if [ "$(starts)" -gt "$before" ]; then
            last=$(sed -n "$((before + 1))p" "$root/tmp/idle_child.starts")
            awk -v t0="$t0" -v t1="${last#* }" 'BEGIN { printf "%.1f\n", (t1 / 1000 - t0) / 1000 }'
            return
        fi
        sleep 0.02
    done
    echo -
}

# Lays out a private root with N links to idle_child, /opt/prog/idle01 on.
new_root() {
    local i
    root=$work/root
    rm -rf "$root"
    mkdir -p "$root/opt/prog"
    cp "$idle_child" "$root/opt/prog/idle"
    for i in $(seq -w 01 "$1"); do
        ln "$root/opt/prog/idle" "$root/opt/prog/idle$i"
    done
}

# One directory per program with `run` pointing at it, for runit and s6.
service_dirs() {
    local prog
    for prog in "$root"/opt/prog/idle?*; do
        mkdir -p "$root/service/${prog##*/}"
        ln -s "/opt/prog/${prog##*/}" "$root/service/${prog##*/}/run"
    done
}

# Runs one supervisor with N programs and prints its table row.
# measure LABEL N BINARIES -- COMMAND...
measure() {
    local label=$1 n=$2 bins=() libs total k pids sup mem t0 t1 restarts=() row
    shift 2
    while [ "$1" != -- ]; do
        bins+=("$1")
        shift
    done
    shift
    if ! start_run "$@"; then
        printf '| %s | %s | did not start |\n' "$label" "$n"
        return
    fi
    for _ in $(seq 600); do
        [ "$(starts)" -ge "$n" ] && break
        sleep 0.1
    done
    sleep 2
    mapfile -t pids < <(processes programs)
    if [ "${#pids[@]}" -ne "$n" ]; then
        printf '| %s | %s | %s of %s programs running |\n' "$label" "$n" "${#pids[@]}" "$n"
        cat "$work/run.log" >&2
        stop_run
        return
    fi
    mapfile -t sup < <(processes supervisors)
    mem=$(cd /proc && awk '/^Rss:/ { r += $2 } /^Pss:/ { p += $2 } /^Private_Dirty:/ { d += $2 }
        END { print r, p, d }' "${sup[@]/%//smaps_rollup}")
    t0=$(cpu_ns "${sup[@]}")
    sleep "$idle"
    t1=$(cpu_ns "${sup[@]}")
    # Each kill hits a random program after a random pause, so that a
    # supervisor that polls is caught at any point of its cycle.
    for ((k = 1; k <= kills; k++)); do
        sleep "$((1 + RANDOM % 10)).$((RANDOM % 10))"
        mapfile -t pids < <(processes programs)
        restarts+=("$(time_restart "${pids[RANDOM % ${#pids[@]}]}")")
    done
    stop_run
    mapfile -t libs < <(own_libraries "${bins[@]}")
    total=$(stripped_size "${libs[@]}")
    row=$(printf '%s\n' "${restarts[@]}" | sort -n | awk '{ v[NR] = $1 } $1 == "-" { none = 1 }
        END {
            if (none)
                print "none within a minute"
            else
                printf "%s / %s", v[int((NR + 1) / 2)], v[NR]
        }')
    read -r rss pss dirty <<<"$mem"
    printf '| %s | %s | %s | %s | %s | %s | %.2f | %s | %s | %s |\n' "$label" "$n" "${#sup[@]}" \
        "$rss" "$pss" "$dirty" "$(awk -v d=$((t1 - t0)) 'BEGIN { print d / 1e6 }')" \
        "$(kib "$(stripped_size "${bins[@]}")")" "$(kib "$total")" "$row"
}

have_applets() {
    local a
    for a in "$@"; do
        grep -qx "$a" <<<"$(busybox --list)" || return 1
    done
}

echo "Supervisor footprint: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo |
    head -1), Linux $(uname -r)"
echo "Peers: $(dpkg-query -W -f '${Package} ${Version}, ' runit s6 busybox | sed 's/, $//')"
echo "CPU time over $idle idle seconds; restart: kill to new process, median / max of $kills"
echo
echo "| supervisor | programs | processes | RSS KiB | PSS KiB | private dirty KiB" \
    "| CPU ms idle | executables KiB | other libraries KiB | restart ms |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---|"
for n in $counts; do
    if [ -n "$daemon" ]; then
        new_root "$n"
        mkdir -p "$root/opt/conf" "$root/app/conf" "$root/user/conf"
        for prog in "$root"/opt/prog/idle?*; do
            echo "/opt/prog/${prog##*/}"
        done >"$root/opt/conf/daemon.conf"
        : >"$root/app/conf/start_config"
        : >"$root/user/conf/daemon.conf"
        binds=(--bind "$(dirname "$daemon")")
        for lib in $(own_libraries "$daemon"); do
            case $lib in /usr/* | /lib*) ;; *) binds+=(--bind "$(dirname "$lib")") ;; esac
        done
        measure daemon "$n" "$daemon" -- "$daemon"
    else
        printf '| daemon | %s | %s |\n' "$n" "$daemon_note"
    fi
    binds=()

    new_root "$n"
    service_dirs
    measure "runit (runsvdir, runsv)" "$n" /usr/bin/runsvdir /usr/bin/runsv -- runsvdir /service

    if have_applets runsvdir runsv; then
        printf '| BusyBox runsv | %s | applets present, not measured here |\n' "$n"
    else
        printf "| BusyBox runsv | %s | not in Debian's busybox: no runsvdir, runsv applets |\n" \
            "$n"
    fi

    new_root "$n"
    service_dirs
    measure "s6 (s6-svscan, s6-supervise)" "$n" /usr/bin/s6-svscan /usr/bin/s6-supervise -- \
        s6-svscan /service

    new_root "$n"
    mkdir -p "$root/etc"
    for prog in "$root"/opt/prog/idle?*; do
        echo "::respawn:/opt/prog/${prog##*/}"
    done >"$root/etc/inittab"
    measure "BusyBox init" "$n" /usr/bin/busybox -- /usr/bin/busybox init
done
