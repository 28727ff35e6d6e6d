#!/bin/sh
# Builds everything and runs every test. Installs what is missing first.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset host
cmake --build --preset host -j "$(nproc)"
ctest --preset host
