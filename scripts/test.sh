#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds everything and runs every test, after installing what is missing.
# Seven builds, each with its own tests: the plain one; the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer; the codec's fuzz targets
# for a bounded time; the device's ARM build with its suite under qemu-arm;
# the ARM build again with the older GCC 11 cross compiler, chosen the way an
# SDK chooses it (CC and CXX); the static analysis of every source and
# script (scripts/lint.sh); and the ARM build booted on an emulated board
# (scripts/device.sh), its tests labelled "device", which the two ARM suites
# leave out. The ARM builds run the Python package's tests with
# Debian's armhf Python (scripts/arm_python.sh). Every build runs even when one
# before it failed; the last lines give each build's result, and the status is
# 0 only when all of them passed. It takes no arguments: --help, or any
# other, prints the usage and exits with status 2.
#   scripts/test.sh
set -u
if [ $# -gt 0 ]; then
    echo "usage: scripts/test.sh (no arguments: the seven builds and their tests; docs/testing.md)" >&2
    exit 2
fi
cd "$(dirname "$0")/.." || exit 1
scripts/deps.sh test || exit 1
# Debian's armhf Python, for the device builds' Python tests under qemu-arm.
# Without it those builds run without that test (their configure says so).
scripts/arm_python.sh build/arm-python || echo "no armhf Python: the ARM builds leave out the test python"

jobs=$(nproc)
summary=()
failed=0

# NAME CONFIGURE BUILD TEST [RESULT]: three commands (word lists) for
# build/NAME; RESULT matches the line of the test's output that the summary
# shows (CTest's count of tests by default).
one_build() {
    local name=$1 configure=$2 build=$3 test=$4 pattern=${5:-tests passed} result log counts
    log=$(mktemp)
    echo "=== $name"
    if ! $configure; then
        result="FAILED to configure"
    elif ! $build; then
        result="FAILED to build"
    elif $test 2>&1 | tee "$log"; [ "${PIPESTATUS[0]}" -ne 0 ]; then
        counts=$(grep -E "$pattern" "$log" | tail -n 1)
        result="FAILED: ${counts:-see above}"
    else
        result="passed: $(grep -E "$pattern" "$log" | tail -n 1)"
    fi
    rm -f "$log"
    case $result in FAILED*) failed=1 ;; esac
    summary+=("$(printf '%-10s %s' "$name" "$result")")
}

for preset in host sanitize fuzz arm; do
    one_build $preset "cmake --preset $preset" "cmake --build --preset $preset -j $jobs" \
        "ctest --preset $preset"
done
CC=arm-linux-gnueabihf-gcc-11 CXX=arm-linux-gnueabihf-g++-11 one_build arm-gcc11 "cmake --preset arm -B build/arm-gcc11" \
    "cmake --build build/arm-gcc11 -j $jobs" "ctest --test-dir build/arm-gcc11 -j 2 -LE device --output-on-failure"
# Static analysis: the compile commands of this machine's build and the
# device's, the receive loops taken out of the documents, then clang-tidy,
# cppcheck and shellcheck; its last line says what ran and the findings.
one_build lint "cmake --preset lint" "cmake --build --preset lint" "scripts/lint.sh -j $jobs" \
    ' [0-9]+ findings?$'
# The emulated board, from the arm build's files.
one_build device "cmake --preset arm" "cmake --build --preset arm -j $jobs" \
    "ctest --test-dir build/arm -L device --no-tests=error --output-on-failure"

echo "=== summary"
printf '%s\n' "${summary[@]}"
exit $failed
