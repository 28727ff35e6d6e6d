#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs a manual page's example program and compares what it prints with what
# the page says it prints.
#   example_test.sh EXPECTED_OUTPUT PROGRAM [EMULATOR...]
set -u
expected=$1 program=$2
shift 2
if "$@" "$program" | diff -u "$expected" -; then
    echo "ok: the example prints what its page shows"
else
    echo "FAIL: the example's output differs from its page's (- page, + program)"
    exit 1
fi
