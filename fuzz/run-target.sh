#!/bin/sh
# Runs one fuzz target: run-target.sh TARGET WORKDIR SEEDS [libFuzzer options...]
# WORKDIR is made anew; new inputs and any crashing one are written there.
set -e
target="$1"; work="$2"; seeds="$3"; shift 3
rm -rf "$work"
mkdir -p "$work/corpus"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$(dirname "$0")/lsan.supp:print_suppressions=0}"
exec "$target" -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$work/" "$@" "$work/corpus" "$seeds"
