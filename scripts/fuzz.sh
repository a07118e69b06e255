#!/bin/sh
# Builds the fuzz tree (build-fuzz/, clang) and runs every fuzz target for
# SECONDS each (default 300), one after another. What a target finds stays in
# build-fuzz/fuzz/runs/<target>/; the first crash stops the script.
# Usage: scripts/fuzz.sh [SECONDS]
set -e
cd "$(dirname "$0")/.."
seconds="${1:-300}"
CC=clang CXX=clang++ sh scripts/build.sh build-fuzz -DXRF_FUZZ=ON \
    -DXRF_FUZZ_SECONDS="$seconds" -DXRF_FUZZ_SEED=0
cd build-fuzz
ctest -L fuzz --output-on-failure --stop-on-failure
