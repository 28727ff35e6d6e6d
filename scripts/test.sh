#!/bin/sh
# Builds everything and runs every test. Installs what is missing first.
# Three builds, each with its own tests: the plain one, the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the codec's fuzz targets
# for a bounded time.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
for preset in host sanitize fuzz; do
    cmake --preset $preset
    cmake --build --preset $preset -j "$(nproc)"
    ctest --preset $preset
done
