#!/bin/sh
# Installs what is missing, builds, and runs every test twice: in the normal
# build and in a build with AddressSanitizer and UndefinedBehaviorSanitizer.
set -e
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
jobs="$(nproc 2>/dev/null || echo 2)"

sh scripts/build.sh build
(cd build && ctest --output-on-failure -j"$jobs")

sh scripts/build.sh build-asan -DXRF_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build-asan && \
 ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
 ctest --output-on-failure -j"$jobs")
