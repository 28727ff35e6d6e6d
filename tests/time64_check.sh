#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks that no ELF file of a 32-bit build imports a libc call that has a
# 64-bit twin (open beside open64, fstat beside __fstat64_time64,
# clock_gettime beside __clock_gettime64, ...): built with 64-bit file offsets
# and time_t, every such call binds to the twin. The calls are read off the
# target's libc itself. A program built without those settings must be caught,
# or the check proves nothing.
#   time64_check.sh BUILD_DIR C_COMPILER [FLAGS...]
set -eu
build=$1 cc=$2
shift 2
libc=$("$cc" "$@" -print-file-name=libc.so.6)
[ -f "$libc" ] || { echo "FAIL: $cc finds no libc.so.6"; exit 1; }
libc=$(realpath "$libc")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

imports() {
    readelf -W --dyn-syms "$1" | awk '$7 == "UND" && $8 != "" { sub(/@.*/, "", $8); print $8 }'
}

# libc's functions with a twin: NAME64, __NAME64, __NAME_time64,
# __NAME64_time64, or for NAME_r also NAME64_r or __NAME64_r. strtof64 and its
# kin are _Float64 functions, not twins.
readelf -W --dyn-syms "$libc" |
    awk '$7 != "UND" && $4 == "FUNC" { sub(/@.*/, "", $8); print $8 }' | sort -u >"$work/libc"
awk 'NR == FNR { have[$1] = 1; next }
    /^(strto|wcsto|strfrom)/ { next }
    {
        s = $1; b = s; r = 0
        if (s ~ /_r$/) { b = substr(s, 1, length(s) - 2); r = 1 }
        if (have[s "64"] || have["__" s "64"] || have["__" s "_time64"] || have["__" s "64_time64"] ||
            (r && (have[b "64_r"] || have["__" b "64_r"])))
            print s
    }' "$work/libc" "$work/libc" >"$work/narrow"
echo "ok: $(wc -l <"$work/narrow") calls of $libc have a 64-bit twin"

# check FILE: prints the narrow calls FILE imports, fails when there are any.
check() {
    found=$(imports "$1" | sort -u | comm -12 - "$work/narrow" | tr '\n' ' ')
    [ -z "$found" ] || { echo "$found"; return 1; }
}

printf '#include <sys/stat.h>\n#include <time.h>\nint main(void) { struct stat s; struct timespec t;
return fstat(0, &s) + clock_gettime(CLOCK_REALTIME, &t); }\n' >"$work/narrow.c"
"$cc" "$@" -o "$work/narrow_program" "$work/narrow.c"
if found=$(check "$work/narrow_program"); then
    echo "FAIL: a program built without 64-bit offsets and time_t passes the check"
    exit 1
fi
echo "ok: a program built without them is caught: $found"

status=0
count=0
# One path a line: a build folder whose path has a blank is read whole.
find "$build" -path '*/CMakeFiles' -prune -o -type f -print >"$work/files"
while IFS= read -r f; do
    # 32-bit ELF files only: the build may hold programs for this machine.
    [ "$(head -c 5 "$f" | od -An -tx1 | tr -d ' ')" = 7f454c4601 ] || continue
    count=$((count + 1))
    if ! found=$(check "$f"); then
        echo "FAIL: ${f#"$build"/} imports $found"
        status=1
    fi
done <"$work/files"
[ "$count" -gt 0 ] || { echo "FAIL: no 32-bit ELF file under $build"; exit 1; }
[ "$status" -ne 0 ] || echo "ok: none of the $count 32-bit ELF files under $build imports one"
exit $status
