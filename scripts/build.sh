#!/bin/sh
# Configures and builds one tree. Usage: scripts/build.sh BUILD_DIR [cmake options...]
set -e
cd "$(dirname "$0")/.."
dir="$1"; shift
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" -j"$(nproc 2>/dev/null || echo 2)"
