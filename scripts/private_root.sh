#!/bin/bash
# SPDX-License-Identifier: MIT
# Runs a command in a private root: new user, mount and pid namespaces and a
# chroot into ROOT, with the host's /usr (read-only), /dev/null and a fresh
# /proc inside. Nothing outside ROOT is written. When the command ends, or
# this script gets SIGINT, SIGTERM or SIGHUP, every process started in there
# ends too.
#
#   private_root.sh [--bind DIR]... [--binfmt REGISTRATION]... ROOT COMMAND [ARG...]
#
# --bind DIR makes the host's DIR visible at the same path inside (read-only).
# --binfmt REGISTRATION registers an interpreter for a kind of executable (a
# binfmt_misc registration line) in the private root only: from Linux 6.7 each
# user namespace has its own table, and the host's is never touched.
set -euo pipefail

if [ "${1:-}" != --inside ]; then
    # unshare ignores SIGINT and SIGTERM while it waits, and the namespace's
    # first process ignores what it has no handler for: on either, kill
    # unshare, whose death kills the namespace and all in it.
    unshare --user --map-root-user --mount --pid --fork --kill-child \
        "$BASH" "$0" --inside "$@" &
    child=$!
    trap 'kill -KILL $child 2>/dev/null; wait $child 2>/dev/null; exit 130' INT TERM HUP
    wait $child
    exit $?
fi
shift

binds=()
formats=()
while :; do
    case ${1:-} in
    --bind) binds+=("$(realpath "$2")") ;;
    --binfmt) formats+=("$2") ;;
    *) break ;;
    esac
    shift 2
done
root=$(realpath "$1")
shift

mount --make-rprivate /
mkdir -p "$root"/{usr,dev,proc,tmp,etc}
for d in bin sbin lib lib32 lib64 libx32; do
    if [ -L "/$d" ] && [ ! -e "$root/$d" ] && [ ! -L "$root/$d" ]; then
        ln -s "$(readlink "/$d")" "$root/$d"
    fi
done
ro_bind() {
    mkdir -p "$2"
    mount --rbind "$1" "$2"
    mount -o remount,bind,ro "$2"
}
ro_bind /usr "$root/usr"
for d in "${binds[@]}"; do
    ro_bind "$d" "$root$d"
done
touch "$root/dev/null"
mount --bind /dev/null "$root/dev/null"
mount -t proc proc "$root/proc"
if [ ${#formats[@]} -gt 0 ]; then
    mount -t binfmt_misc binfmt_misc "$root/proc/sys/fs/binfmt_misc"
    for f in "${formats[@]}"; do
        printf '%s' "$f" >"$root/proc/sys/fs/binfmt_misc/register"
    done
fi
cd "$root"
exec chroot "$root" "$@"
