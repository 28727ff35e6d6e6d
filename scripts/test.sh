#!/bin/sh
# Builds everything and runs every test. Installs what is missing first.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build/host
cmake --build build/host -j "$(nproc)"
ctest --test-dir build/host --output-on-failure -j "$(nproc)"
