#!/bin/sh
# SPDX-License-Identifier: MIT
# Unpacks Debian's static libdeflate of the architecture ARCH (arm64,
# s390x) into build/cross-libs/TRIPLE/, where a cross build of that
# architecture finds it: without installing the package, whose C library of
# that architecture need not be installable beside the host's.
#   tools/unpack_cross_library.sh ARCH TRIPLE
set -eu
arch=$1
triple=$2
cd "$(dirname "$0")/.."
root=build/cross-libs/$triple
[ -e "$root/usr/lib/$triple/libdeflate.a" ] && exit 0
dpkg --print-foreign-architectures | grep -qx "$arch" || {
    echo "the architecture $arch is not known to dpkg: dpkg --add-architecture $arch && apt-get update" >&2
    exit 1
}
packages=$(mktemp -d)
trap 'rm -rf "$packages"' EXIT
chmod 755 "$packages"  # apt downloads as its own user
(cd "$packages" && apt-get download "libdeflate-dev:$arch" >/dev/null)
mkdir -p "$root"
for package in "$packages"/*.deb; do
    dpkg-deb -x "$package" "$root"
done
