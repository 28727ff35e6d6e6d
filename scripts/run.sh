#!/bin/sh
# Builds the supervisor and runs it in a private root holding the sample list
# files and programs of examples/rootfs, printing its log as it happens.
# Ends on Ctrl-C, or after SECONDS when given, and leaves no process behind.
#   scripts/run.sh [SECONDS]
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset host >/dev/null
cmake --build --preset host -j "$(nproc)" --target daemon >/dev/null

root=$(mktemp -d /tmp/korvi-root.XXXXXX)
cp -a examples/rootfs/. "$root/"
echo "daemon running in a private root ($root); Ctrl-C ends it" >&2
set -- ${1:+timeout --foreground "$1"} scripts/private_root.sh --bind "$PWD/build/host" "$root" \
    "$PWD/build/host/core/src/core/daemon/daemon"
trap : INT
"$@" || true

left=0
for p in /proc/[0-9]*; do
    case $(readlink "$p/root" 2>/dev/null) in "$root"*) left=$((left + 1)) ;; esac
done
rm -rf "$root"
echo "daemon stopped; processes left behind: $left" >&2
[ "$left" -eq 0 ]
