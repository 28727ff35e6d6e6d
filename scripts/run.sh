#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds the supervisor and runs it in a private root holding the sample list
# files and programs of examples/rootfs, printing its log as it happens.
# Ends on Ctrl-C, or after SECONDS (a whole number) when given, and leaves no
# process behind.
#   scripts/run.sh [SECONDS]
set -eu
cd "$(dirname "$0")/.."
case ${1:-} in
"") ;;
*[!0-9]* | 0)
    echo "usage: scripts/run.sh [SECONDS]: SECONDS is a whole number above 0, not '$1'" >&2
    exit 2
    ;;
esac
[ $# -le 1 ] || { echo "usage: scripts/run.sh [SECONDS]" >&2; exit 2; }
scripts/deps.sh run
cmake --preset demo >/dev/null
cmake --build --preset demo -j "$(nproc)" --target daemon >/dev/null

root=$(mktemp -d /tmp/korvi-root.XXXXXX)
cp -a examples/rootfs/. "$root/"
echo "daemon running in a private root ($root); Ctrl-C ends it" >&2
set -- ${1:+timeout --foreground "$1"} scripts/private_root.sh --bind "$PWD/build/demo" "$root" \
    "$PWD/build/demo/core/src/core/daemon/daemon"
trap : INT
"$@" || true

left=0
for p in /proc/[0-9]*; do
    case $(readlink "$p/root" 2>/dev/null) in "$root"*) left=$((left + 1)) ;; esac
done
rm -rf "$root"
echo "daemon stopped; processes left behind: $left" >&2
[ "$left" -eq 0 ]
