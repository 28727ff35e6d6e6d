#!/bin/sh
# SPDX-License-Identifier: MIT
# Puts Debian's armhf Python 3.11 into a folder, for the device build's Python
# tests under qemu-arm: the interpreter, its standard library, ctypes' libffi
# and the C library, taken from the .deb files as they are (apt-get download,
# dpkg -x), nothing installed into the system. The armhf architecture is added
# to dpkg's list when it lacks it, which needs root.
#   arm_python.sh [DIR]    (default build/arm-python; the root is DIR/root)
# Ends at once when DIR/root already has the interpreter.
set -eu
dir=${1:-build/arm-python}
root=$dir/root
[ -x "$root/usr/bin/python3.11" ] && exit 0

packages="python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libffi8 libc6 libgcc-s1
    zlib1g libexpat1"
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "arm_python.sh: run as root to add the armhf architecture (dpkg --add-architecture armhf)" >&2
        exit 1
    fi
    dpkg --add-architecture armhf
    apt-get update -q
fi
mkdir -p "$dir/debs"
debs=$(cd "$dir/debs" && pwd)
rm -f "$debs"/*.deb
# apt-get download writes into the working folder.
(cd "$debs" && for p in $packages; do echo "$p:armhf"; done | xargs apt-get download -q)
rm -rf "$root.new"
mkdir -p "$root.new"
for deb in "$debs"/*.deb; do
    dpkg -x "$deb" "$root.new"
done
mv "$root.new" "$root"
echo "armhf Python in $root"
