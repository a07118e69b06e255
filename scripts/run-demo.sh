#!/bin/sh
# Installs what is missing, builds, and runs the demo of the command-line host.
set -e
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
sh scripts/build.sh build
./build/bin/xrfresults demo "$@"
