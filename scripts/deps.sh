#!/bin/sh
# Installs the Debian packages that building and testing need, when missing.
set -eu
packages="cmake make gcc g++ binutils pkg-config libgtest-dev procps util-linux clang-14 libclang-rt-14-dev llvm-14 valgrind g++-arm-linux-gnueabihf googletest qemu-user busybox"
# `deps.sh bench` adds what the benchmarks and the supervisors they compare need.
if [ "${1:-}" = bench ]; then
    packages="$packages libbenchmark-dev valgrind runit busybox s6"
fi

missing=
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "installing:$missing"
if [ "$(id -u)" -ne 0 ]; then
    echo "run as root, or install these packages first:$missing" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends $missing
