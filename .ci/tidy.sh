#!/usr/bin/env bash
# clang-tidy 14, configured by .clang-tidy, on every source file of src/,
# tools/ and fuzz/; fails on any finding. The Windows sources are analysed
# for the MinGW-w64 target with its headers.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset tidy >/dev/null
cmake --preset tidy-windows >/dev/null
mingw_headers=(
    --extra-arg=--target=x86_64-w64-mingw32 --extra-arg=-nostdinc++
    --extra-arg=-isystem/usr/lib/gcc/x86_64-w64-mingw32/12-posix/include/c++
    --extra-arg=-isystem/usr/lib/gcc/x86_64-w64-mingw32/12-posix/include/c++/x86_64-w64-mingw32
    --extra-arg=-isystem/usr/x86_64-w64-mingw32/include
)
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
