#!/bin/sh
# Builds everything and runs every test. Installs what is missing first.
# Four builds, each with its own tests: the plain one, the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, the codec's fuzz targets
# for a bounded time, and the device's ARM build with its suite under qemu-arm.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
for preset in host sanitize fuzz arm; do
    cmake --preset $preset
    cmake --build --preset $preset -j "$(nproc)"
    ctest --preset $preset
done
