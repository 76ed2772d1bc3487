#!/usr/bin/env bash
# Installs each package from build/packages (packaging/make_packages.sh) the
# way a user would and runs it on the example container in an empty folder:
# the log must equal examples/example.log byte for byte (with CR LF on
# Windows) and the images examples/images. The Debian package is checked with
# lintian, installed with dpkg (CI runs as root on a throwaway machine) and
# removed again without a trace; the arm64 packages run under qemu, the
# Windows zip under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD
packages=$source/build/packages
version=$(sed -n 's/^project(kvf_unpack VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# check_run NAME EXPECTED_LOG COMMAND...: COMMAND ../example.kvf in an empty folder.
check_run() {
    local name=$1 expected=$2
    shift 2
    mkdir -p "$work/$name/out"
    cp examples/example.kvf "$work/$name/example.kvf"
    local status=0
    (cd "$work/$name/out" && "$@" ../example.kvf > ../log) || status=$?
    if [ $status -ne 0 ] || ! cmp -s "$work/$name/log" "$expected"; then
        echo "$name: status $status, log differs from $expected:"
        diff "$expected" "$work/$name/log" | head -20
        exit 1
    fi
    if ! diff -r "$work/$name/out" examples/images; then
        echo "$name: images differ from examples/images"
        exit 1
    fi
    echo "$name: log and images as expected"
}

# check_deb ARCH: the Debian package of ARCH: its fields, lintian, and the files it holds, extracted.
check_deb() {
    local arch=$1
    echo "-- Debian package ($arch)"
    deb=$packages/kvf-unpack_${version}_$arch.deb
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ]
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ]
    dpkg-deb -f "$deb" Depends | grep -q '^libc6 (>= '
    lintian --fail-on error --display-info "$deb"
    dpkg-deb -x "$deb" "$work/deb-$arch"
}

check_deb amd64
# Installed and removed as a user would, on this machine.
dpkg -i "$deb"
files=$(dpkg-query -L kvf-unpack)
[ "$(command -v kvf_unpack)" = /usr/bin/kvf_unpack ]
check_run deb examples/example.log kvf_unpack
man -w kvf_unpack
zcat "$(man -w kvf_unpack)" | head -1 | grep -q "kvf_unpack $version"
dpkg -r kvf-unpack
for path in $files; do
    if [ -e "$path" ] && { [ ! -d "$path" ] || [ "$path" = /usr/share/doc/kvf-unpack ]; }; then
        echo "left behind after dpkg -r: $path"
        exit 1
    fi
done
if dpkg-query -W -f '${db:Status-Status}' kvf-unpack 2>/dev/null | grep -qv not-installed; then
    echo "dpkg still knows kvf-unpack after dpkg -r"
    exit 1
fi
echo "deb: removed without a trace"

check_deb arm64
file "$work/deb-arm64/usr/bin/kvf_unpack" | grep -q 'ARM aarch64'
# Run as an arm64 system would: with its C library, libc6:arm64, which CI installs.
check_run deb-arm64 examples/example.log qemu-aarch64 "$work/deb-arm64/usr/bin/kvf_unpack"

# check_tarball ARCH COMMAND...: the Linux tarball of ARCH, its binary run by COMMAND.
check_tarball() {
    local arch=$1
    shift
    echo "-- Linux tarball, $arch"
    mkdir "$work/tarball-$arch"
    tar -xzf "$packages/kvf_unpack-$version-linux-$arch.tar.gz" -C "$work/tarball-$arch"
    local unpacked=$work/tarball-$arch/kvf_unpack-$version-linux-$arch
    check_run "tarball-$arch" examples/example.log "$@" "$unpacked/bin/kvf_unpack"
    [ -f "$unpacked/README.md" ]
    [ -z "$(man --warnings -l "$unpacked/share/man/man1/kvf_unpack.1" 2>&1 >/dev/null)" ]
}
check_tarball x86_64
check_tarball aarch64 qemu-aarch64

echo "-- Windows zip, under Wine"
mkdir "$work/zip"
unzip -q "$packages/kvf_unpack-$version-windows-x86_64.zip" -d "$work/zip"
unpacked=$work/zip/kvf_unpack-$version-windows-x86_64
[ -f "$unpacked/README.md" ] && [ -f "$unpacked/kvf_unpack.txt" ]
sed 's/$/\r/' examples/example.log > "$work/example-crlf.log"
WINEDEBUG=-all check_run zip "$work/example-crlf.log" wine "$unpacked/kvf_unpack.exe"
