#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# clang-tidy 14, configured by .clang-tidy, on every source file of src/,
# tools/ and fuzz/; fails on any finding. The Windows sources are analysed
# for the MinGW-w64 target with its headers.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset tidy >/dev/null
cmake --preset tidy-windows >/dev/null
# The MinGW-w64 C++ and system headers, where its compiler looks for them
# (clang brings its own compiler headers).
mingw_headers=(--extra-arg=--target=x86_64-w64-mingw32 --extra-arg=-nostdinc++)
while read -r dir; do
    mingw_headers+=("--extra-arg=-isystem$(realpath "$dir")")
done < <(x86_64-w64-mingw32-g++-posix -E -x c++ -v /dev/null 2>&1 >/dev/null |
    sed -n '/#include <...> search starts here:/,/End of search list./{//!p}' | grep -E '/include/c\+\+|/include$' |
    grep -v '/lib/gcc/[^/]*/[^/]*/include$')
failed=0
for file in $(git ls-files 'src/*.cpp' 'tools/*.cpp' 'fuzz/*.cpp'); do
    case $file in
    *_windows.cpp) options=(-p build/tidy-windows "${mingw_headers[@]}") ;;
    *) options=(-p build/tidy) ;;
    esac
    if ! clang-tidy-14 --quiet "${options[@]}" "$file" 2>/dev/null; then
        failed=1
    fi
done
if [ $failed -ne 0 ]; then
    echo "clang-tidy: findings above"
    exit 1
fi
echo "clang-tidy: no findings in $(git ls-files 'src/*.cpp' 'tools/*.cpp' 'fuzz/*.cpp' | wc -l) files"
