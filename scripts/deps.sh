#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs what a task needs and the machine lacks, with Debian's apt-get.
#   deps.sh run     the demo (scripts/run.sh): compilers, cmake, util-linux
#   deps.sh test    everything scripts/test.sh builds, runs and analyses (the default)
#   deps.sh bench   the benchmarks and the supervisors they compare
#   deps.sh device  the emulated device (scripts/device.sh)
# What is already there, by command or file, is never installed again. On a
# machine without apt-get it names what is missing and fails.
set -eu

# Each need is WHAT:PACKAGE, WHAT a command on the PATH or an absolute path
# (a glob) that must exist.
run="cc:gcc c++:g++ cmake:cmake make:make unshare:util-linux chroot:coreutils"
test="$run readelf:binutils pkg-config:pkg-config pgrep:procps
    /usr/include/gtest/gtest.h:libgtest-dev /usr/src/googletest/CMakeLists.txt:googletest
    clang-14:clang-14 llvm-symbolizer-14:llvm-14
    /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a:libclang-rt-14-dev
    valgrind:valgrind arm-linux-gnueabihf-g++:g++-arm-linux-gnueabihf
    arm-linux-gnueabihf-g++-11:g++-11-arm-linux-gnueabihf qemu-arm:qemu-user busybox:busybox
    start-stop-daemon:dpkg tshark:tshark xxd:xxd socat:socat
    /usr/bin/python3:python3 /usr/lib/python3/dist-packages/pytest/__init__.py:python3-pytest
    /usr/lib/python3/dist-packages/serial/__init__.py:python3-serial
    /usr/lib/python3/dist-packages/pip/__init__.py:python3-pip
    /usr/lib/python3/dist-packages/setuptools/__init__.py:python3-setuptools
    sigrok-cli:sigrok-cli mandoc:mandoc
    /usr/share/bash-completion/bash_completion:bash-completion
    dpkg-shlibdeps:dpkg-dev file:file lintian:lintian mount:mount
    /usr/include/benchmark/benchmark.h:libbenchmark-dev
    clang-tidy-14:clang-tidy-14 cppcheck:cppcheck shellcheck:shellcheck
    qemu-system-arm:qemu-system-arm cpio:cpio"
device="$run arm-linux-gnueabihf-g++:g++-arm-linux-gnueabihf qemu-system-arm:qemu-system-arm
    cpio:cpio dpkg-deb:dpkg"
bench="$run /usr/include/benchmark/benchmark.h:libbenchmark-dev valgrind:valgrind
    arm-linux-gnueabihf-g++:g++-arm-linux-gnueabihf runsvdir:runit s6-svscan:s6 busybox:busybox /usr/bin/time:time"

case ${1:-test} in
run) needs=$run ;;
test) needs=$test ;;
bench) needs=$bench ;;
device) needs=$device ;;
*)
    echo "usage: deps.sh [run|test|bench|device]" >&2
    exit 2
    ;;
esac

# Globs only where a need is a path.
set -f
have() {
    case $1 in
    /*)
        set +f
        for f in $1; do
            [ -e "$f" ] && set -f && return 0
        done
        set -f
        return 1
        ;;
    *) command -v "$1" >/dev/null 2>&1 ;;
    esac
}

# The device's kernel and BusyBox are Debian's armhf packages: apt-get must
# know that architecture.
case ${1:-test} in test | device)
    if command -v dpkg >/dev/null 2>&1 && ! dpkg --print-foreign-architectures | grep -qx armhf; then
        if [ "$(id -u)" -ne 0 ]; then
            echo "run as root, or add the armhf architecture first (dpkg --add-architecture armhf)" >&2
            exit 1
        fi
        dpkg --add-architecture armhf
        apt-get update -q
    fi
    ;;
esac

missing=
for need in $needs; do
    have "${need%%:*}" && continue
    case " $missing " in *" ${need#*:} "*) ;; *) missing="$missing ${need#*:}" ;; esac
done
[ -z "$missing" ] && exit 0

if ! command -v apt-get >/dev/null 2>&1; then
    echo "missing, and no apt-get to install them: install the equivalents of these Debian packages:$missing" >&2
    exit 1
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "run as root, or install these packages first:$missing" >&2
    exit 1
fi
echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
# shellcheck disable=SC2086 # the packages, one argument each
apt-get install -y -q --no-install-recommends $missing
