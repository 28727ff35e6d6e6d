#!/bin/sh
# Builds the project and runs the codec demonstration.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset host >/dev/null
cmake --build build/host -j "$(nproc)" --target sci_demo
build/host/examples/sci_demo
