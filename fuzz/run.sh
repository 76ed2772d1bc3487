#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the fuzz target and runs it for SECONDS (default 60), starting from
# the kept corpus (fuzz/corpus) and seeds made by kvf_gen. New inputs that
# reach new code collect in build/fuzz/corpus; fuzz/merge.sh folds them into
# the kept corpus. Fails on any crash, sanitizer report, hang, or file
# written outside the fuzzer's working directory.
#
#   fuzz/run.sh [SECONDS [JOBS]]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
jobs=${2:-1}

cmake --workflow --preset fuzz >/dev/null
build=$PWD/build/fuzz  # absolute: the target works in a directory of its own
rm -rf "$build/seeds"
mkdir -p "$build/corpus" "$build/seeds" "$build/artifacts"
"$build/kvf_gen" seeds "$build/seeds"

parallel=()
if [ "$jobs" -gt 1 ]; then
    # Workers of their own, each logging to fuzz-N.log in the working directory.
    parallel=(-jobs="$jobs" -workers="$jobs")
fi
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
"$build/fuzz_unpack" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    "${parallel[@]}" -dict="$PWD/fuzz/kvf.dict" -artifact_prefix="$build/artifacts/" \
    "$build/corpus" "$PWD/fuzz/corpus" "$build/seeds"
