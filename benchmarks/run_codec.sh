#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds the codec benchmarks in build/bench, then prints two tables: time per
# frame (median of the repetitions, CPU time) and instructions per frame
# (callgrind, the same on a busy machine), each beside a memcpy of as many
# bytes as the frame holds and the ratio to it.
#
#   benchmarks/run_codec.sh [REPETITIONS] [CALLS]
#
# REPETITIONS (default 5) runs of each timing case, CALLS (default 10000)
# calls of each case under callgrind.
set -eu
cd "$(dirname "$0")/.."
reps=${1:-5}
calls=${2:-10000}
build=build/bench

scripts/deps.sh bench
cmake -S . -B $build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVI_BUILD_BENCHMARKS=ON \
    -DKORVI_BUILD_TESTS=OFF >/dev/null
cmake --build $build -j "$(nproc)" --target codec_bench codec_icount >/dev/null

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Table rows from the codec's figures (lines "OP VERSION PAYLOAD BYTES VALUE")
# and the baseline's ("copy BYTES VALUE"), whichever order they come in.
table() {
    awk -v unit="$1" '
        BEGIN {
            printf "| operation | version | payload | frame bytes | %s per frame", unit
            printf " | memcpy %s | ratio |\n", unit
            print "|---|---|---:|---:|---:|---:|---:|"
        }
        $1 == "copy" { base[$2] = $3; next }
        { row[++n] = $0 }
        END {
            for (i = 1; i <= n; i++) {
                split(row[i], f, " ")
                printf "| %s | %s | %s | %s | %s | %s | %.1f |\n", f[1], f[2], f[3], f[4],
                       fmt(f[5]), fmt(base[f[4]]), f[5] / base[f[4]]
            }
        }
        function fmt(v) {
            return v == int(v) ? sprintf("%d", v) : sprintf(v < 10 ? "%.2f" : "%.1f", v)
        }
    '
}

echo "Version 1 carries at most 252 payload bytes, so its longest case is 252 (version 2: 255)."
echo "The baseline is a memcpy of the frame's length; ratio = codec / memcpy."
echo
echo "Time per frame: median of $reps runs, ns of CPU time"
echo
$build/benchmarks/codec_bench --benchmark_repetitions="$reps" \
    --benchmark_report_aggregates_only=true --benchmark_out="$tmp/bench.json" \
    --benchmark_out_format=json >"$tmp/bench.txt" 2>&1 || { cat "$tmp/bench.txt"; exit 1; }
if grep -q "ERROR OCCURRED" "$tmp/bench.txt"; then
    cat "$tmp/bench.txt"
    exit 1
fi
# One line per median (the only run when there is one): run name
# (pack_frame/v1/16, copy_frame/25), CPU time and, for the codec, the frame
# length.
awk -F': ' -v reps="$reps" '
    /"benchmarks": \[/ { inside = 1 }
    !inside { next }
    /"run_name"/ { gsub(/[",]/, "", $2); name = $2 }
    /"aggregate_name"/ { gsub(/[",]/, "", $2); agg = $2 }
    /"cpu_time"/ { gsub(/,/, "", $2); cpu = $2 }
    /"frame_bytes"/ { gsub(/,/, "", $2); bytes = $2 }
    /^    }/ {
        if (reps == 1 ? agg == "" : agg == "median") {
            split(name, p, "/")
            if (p[1] == "copy_frame")
                print "copy", p[2], cpu
            else
                print substr(p[1], 1, length(p[1]) - 6), substr(p[2], 2), p[3], bytes + 0, cpu
        }
        name = agg = cpu = bytes = ""
    }
' "$tmp/bench.json" | table ns

echo
echo "Instructions per frame: callgrind, $calls calls each"
echo
icount() {
    op=$1
    shift
    valgrind -q --tool=callgrind --toggle-collect="run_$op" --callgrind-out-file="$tmp/cg.out" \
        $build/benchmarks/codec_icount "$op" "$@" "$calls" >"$tmp/len" </dev/null
    awk -v calls="$calls" '/^totals:/ { printf "%.0f\n", $2 / calls }' "$tmp/cg.out"
}
{
    for op in pack unpack; do
        for version in 1 2; do
            [ $version = 1 ] && max=252 || max=255
            for len in 0 16 64 $max; do
                n=$(icount $op $version "$len")
                echo "$op $version $len $(cat "$tmp/len") $n"
                cat "$tmp/len" >>"$tmp/lengths"
            done
        done
    done
    sort -nu "$tmp/lengths" | while read -r bytes; do
        echo "copy $bytes $(icount copy "$bytes")"
    done
} | table instructions

# The device build's checksum: the NEON instructions in the codec for ARMv7
# (cmake/arm-linux-gnueabihf.cmake), each function's count.
echo
echo "NEON in the device build's codec (arm-linux-gnueabihf-objdump; function, instruction, count)"
echo
arm=build/bench-arm
if command -v arm-linux-gnueabihf-g++ >/dev/null 2>&1; then
    cmake -S . -B $arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVI_BUILD_TESTS=OFF >/dev/null
    cmake --build $arm -j "$(nproc)" --target sci_codec >/dev/null
    arm-linux-gnueabihf-objdump -d --no-show-raw-insn $arm/sci_codec/libsci_codec.so |
        awk '/^[0-9a-f]+ <.*>:$/ { fn = $2 }
             $2 ~ /^(vld1|vst1|vpadal|vpaddl|vand)/ { n[fn " " $2]++ }
             END { for (k in n) print k, n[k] }' | sort
else
    echo "(no arm-linux-gnueabihf-g++)"
fi
