#!/usr/bin/env bash
# Makes every release package from this source tree, into build/packages/:
#   kvf_unpack-VERSION-linux-x86_64.tar.gz   bin/, share/man/man1/, README.md
#   kvf-unpack_VERSION_amd64.deb             for Debian and Ubuntu
#   kvf_unpack-VERSION-windows-x86_64.zip    kvf_unpack.exe, README.md, the manual as text
# Needs what the release and windows presets need (see README), and dpkg-dev
# for the Debian package's dependencies.
#
#   packaging/make_packages.sh
set -euo pipefail
cd "$(dirname "$0")/.."

rm -rf build/package-linux/packages build/package-windows/packages
cmake --workflow --preset package-linux
cmake --workflow --preset package-windows

rm -rf build/packages
mkdir -p build/packages
cp build/package-linux/packages/*.tar.gz build/package-linux/packages/*.deb \
   build/package-windows/packages/*.zip build/packages/
(cd build/packages && sha256sum -- * > SHA256SUMS)
echo "Packages in build/packages:"
ls -l build/packages
