#!/bin/sh
# Installs what is missing, builds, and runs every test twice: in the normal
# build (in New York, west of UTC; followed by 50 kills of the kill soak) and
# in a build with AddressSanitizer and UndefinedBehaviorSanitizer (in Berlin,
# east of it). Both zones have daylight saving.
# The normal build is also installed and packaged, and a host is built against
# what was installed.
set -e
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
jobs="$(nproc 2>/dev/null || echo 2)"

sh scripts/build.sh build -DXRF_TEST_HOOKS=ON -DXRF_TEST_TZ=America/New_York
(cd build && ctest --output-on-failure -j"$jobs")
sh scripts/check-package.sh build
# The figures of the power cuts, then the kill soak on the normal build.
grep -h "power cuts:\|with the commit at FULL" build/Testing/Temporary/LastTest.log || true
sh bench/soak-kill.sh 50

sh scripts/build.sh build-asan -DXRF_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
    -DXRF_TEST_HOOKS=ON -DXRF_TEST_TZ=Europe/Berlin
(cd build-asan && \
 ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
 ctest --output-on-failure -j"$jobs")

# A short run of each fuzz target (clang, libFuzzer): a crash fails the run.
CC=clang CXX=clang++ sh scripts/build.sh build-fuzz -DXRF_FUZZ=ON -DXRF_FUZZ_SECONDS=30 \
    -DXRF_FUZZ_SEED=1
(cd build-fuzz && ctest -L fuzz --output-on-failure)
