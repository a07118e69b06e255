#!/bin/sh
# Runs N random power cuts (default 20) of a queue host in a built test tree:
# each host is cut at a random file call, its folder rebuilt from what it had
# synced, and the results checked. XRF_POWERCUT_SEED=S replays a run;
# BUILD=dir picks the build (default build/, configured with -DXRF_TEST_HOOKS=ON).
set -e
cd "$(dirname "$0")/.."
test="${BUILD:-build}/bin/tst_powercut"
[ -x "$test" ] || { echo "powercut: no $test; build with -DXRF_TEST_HOOKS=ON" >&2; exit 2; }
XRF_POWERCUT_CUTS="${1:-20}" TZ=UTC QT_QPA_PLATFORM=offscreen \
    "$test" cutsLoseNothingReportedAndStoreNothingTwice
