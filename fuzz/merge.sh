#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Folds what fuzzing found (build/fuzz/corpus, and any further directories
# given) into the kept corpus, fuzz/corpus, minimized: libFuzzer keeps the
# smallest set of inputs that reaches all the coverage of them together.
#
#   fuzz/merge.sh [DIR...]
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --workflow --preset fuzz >/dev/null
build=$PWD/build/fuzz
merged=$build/merged
rm -rf "$merged"
mkdir -p "$merged" "$build/corpus" fuzz/corpus
"$build/fuzz_unpack" -merge=1 -dict="$PWD/fuzz/kvf.dict" "$merged" "$PWD/fuzz/corpus" "$build/corpus" "$@" 2>&1 |
    grep -E '^MERGE-OUTER: [0-9]+ new files' || true
rm -rf fuzz/corpus
mv "$merged" fuzz/corpus
echo "fuzz/corpus: $(find fuzz/corpus -type f | wc -l) inputs, $(du -sk --apparent-size fuzz/corpus | cut -f1) KiB"
