#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes the release packages from this source tree, into build/packages/:
#   linux-x86_64    kvf_unpack-VERSION-linux-x86_64.tar.gz (static) and kvf-unpack_VERSION_amd64.deb
#   linux-aarch64   kvf_unpack-VERSION-linux-aarch64.tar.gz (static) and kvf-unpack_VERSION_arm64.deb
#   windows-x86_64  kvf_unpack-VERSION-windows-x86_64.zip
# with a SHA256SUMS of what it made. Each target needs only its own
# toolchain (see doc/DEVELOPING.md: Packages); with no target named, it makes all three.
#
# Two runs from the same commit give the same bytes, wherever and whenever
# they run: every date in the packages is SOURCE_DATE_EPOCH, taken from the
# commit's time when it is not set.
#
#   packaging/make_packages.sh [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

# Archive members belong to whoever made the files: root, under fakeroot for anyone else.
if [ "$(id -u)" -ne 0 ] && [ -z "${FAKEROOTKEY:-}" ]; then
    if ! command -v fakeroot >/dev/null; then
        echo "make_packages.sh: needs root or fakeroot (apt-get install fakeroot), so that every file" \
            "in the packages belongs to root" >&2
        exit 1
    fi
    exec fakeroot -- "$0" "$@"
fi

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(linux-x86_64 linux-aarch64 windows-x86_64)

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) || {
        echo "make_packages.sh: not a git checkout: set SOURCE_DATE_EPOCH" >&2
        exit 1
    }
fi
export SOURCE_DATE_EPOCH
# CPack makes the packages' folders as the umask lets it: the usual one, whatever the caller's.
umask 022

# needs TARGET COMMAND PACKAGE: fails early, naming what to install.
needs() {
    if ! command -v "$2" >/dev/null; then
        echo "make_packages.sh: $1 needs $2 (apt-get install $3)" >&2
        exit 1
    fi
}

needs "the archives" python3 python3
version=$(sed -n 's/^project(kvf_unpack VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
rm -rf build/packages
mkdir -p build/packages
for target in "${targets[@]}"; do
    case $target in
    linux-x86_64)
        made=("package-linux-static:kvf_unpack-$version-linux-x86_64.tar.gz"
            "package-linux:kvf-unpack_${version}_amd64.deb")
        needs "$target" g++ g++
        needs "$target" dpkg-shlibdeps dpkg-dev
        ;;
    linux-aarch64)
        made=("package-linux-arm64-static:kvf_unpack-$version-linux-aarch64.tar.gz"
            "package-linux-arm64:kvf-unpack_${version}_arm64.deb")
        needs "$target" aarch64-linux-gnu-g++ g++-aarch64-linux-gnu
        needs "$target" dpkg-shlibdeps dpkg-dev
        if ! dpkg-query -W -f '${Status}' libc6:arm64 2>/dev/null | grep -q installed; then
            echo "make_packages.sh: $target needs the arm64 C library known to dpkg for the package's" \
                "dependencies (dpkg --add-architecture arm64; apt-get update; apt-get install libc6:arm64)" >&2
            exit 1
        fi
        tools/unpack_cross_library.sh arm64 aarch64-linux-gnu  # its static libdeflate
        ;;
    windows-x86_64)
        made=("package-windows:kvf_unpack-$version-windows-x86_64.zip")
        needs "$target" x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64-posix
        needs "$target" groff groff-base
        ;;
    *)
        echo "make_packages.sh: unknown target $target (linux-x86_64, linux-aarch64, windows-x86_64)" >&2
        exit 1
        ;;
    esac
    # Each package from the preset that makes it; one that is not made fails here.
    for preset_package in "${made[@]}"; do
        preset=${preset_package%%:*}
        rm -rf "build/$preset/packages"
        cmake --workflow --preset "$preset"
        cp "build/$preset/packages/${preset_package#*:}" build/packages/
        case $preset_package in
        *.tar.gz | *.zip) python3 packaging/repack.py "build/packages/${preset_package#*:}" ;;
        esac
    done
done

(cd build/packages && sha256sum -- * > SHA256SUMS)
echo "Made for ${targets[*]}, dated $(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S UTC'), in build/packages:"
cat build/packages/SHA256SUMS
