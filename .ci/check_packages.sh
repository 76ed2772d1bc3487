#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs each package from build/packages (packaging/make_packages.sh) the
# way a user would and runs it on the example container in an empty folder:
# the log must equal examples/example.log byte for byte (with CR LF on
# Windows) and the images examples/images; each holds the licence. The
# Debian package is checked with lintian, installed with dpkg (CI runs as
# root on a throwaway machine) and removed again without a trace; the
# tarballs' binaries must be static and run in a root that holds nothing
# else; the arm64 packages run under qemu, the Windows zip under Wine.
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
    # The C library and nothing else: the tool needs no C++ runtime library.
    if [ "$(dpkg-deb -f "$deb" Depends | sed 's/ (.*//')" != libc6 ]; then
        echo "$deb depends on more than libc6: $(dpkg-deb -f "$deb" Depends)"
        exit 1
    fi
    lintian --fail-on error --display-info "$deb"
    dpkg-deb -x "$deb" "$work/deb-$arch"
    cmp packaging/debian/copyright "$work/deb-$arch/usr/share/doc/kvf-unpack/copyright"
    cmp doc/events.schema.json "$work/deb-$arch/usr/share/doc/kvf-unpack/doc/events.schema.json"
}

check_deb amd64
# Installed and removed as a user would, on this machine.
dpkg -i "$deb"
files=$(dpkg-query -L kvf-unpack)
[ "$(command -v kvf_unpack)" = /usr/bin/kvf_unpack ]
check_run deb examples/example.log kvf_unpack
man -w kvf_unpack
# --help names the description of the format where the package put it.
format=$(kvf_unpack --help | sed -n 's/^The format: //p')
if [ "$format" != /usr/share/doc/kvf-unpack/doc/format.md ] || ! cmp doc/format.md "$format"; then
    echo "deb: --help names the format's description as '$format', which is not where the package put it"
    exit 1
fi
zcat "$(man -w kvf_unpack)" | grep "^\.TH " | grep -q "kvf_unpack $version"
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

# check_listing MEMBERS TOP: an archive's member list holds its top folder
# first, and every folder once, before what it holds.
check_listing() {
    local members=$1 top=$2
    if [ "$(head -n 1 <<<"$members")" != "$top/" ] || [ -n "$(sort <<<"$members" | uniq -d)" ] ||
        [ "$members" != "$(LC_ALL=C sort <<<"$members")" ]; then
        echo "$top: the archive does not list its top folder first and each folder once, in order:"
        echo "$members"
        exit 1
    fi
    echo "$top: top folder first, each folder once, in order"
}

# check_static BINARY: a static-pie executable: no loader and no library
# named (so it runs whatever C library a Linux has), with ASLR (position
# independent) and full RELRO kept.
check_static() {
    local headers
    headers=$(readelf -lhd "$1")
    if grep -qE 'NEEDED|INTERP' <<<"$headers"; then
        echo "$1 is not static:"
        grep -E 'NEEDED|INTERP' <<<"$headers"
        exit 1
    fi
    grep -q 'Type: *DYN' <<<"$headers"
    grep -q 'GNU_RELRO' <<<"$headers"
    grep -q 'BIND_NOW' <<<"$headers"
    echo "$(basename "$(dirname "$(dirname "$1")")"): static-pie, RELRO, BIND_NOW, no library needed"
}

# check_tarball ARCH: the Linux tarball of ARCH, its binary static and run
# in a root that holds nothing but it and the example (aarch64: under qemu,
# with an empty root for any library it might look for).
check_tarball() {
    local arch=$1
    echo "-- Linux tarball, $arch"
    mkdir "$work/tarball-$arch"
    tar -xzf "$packages/kvf_unpack-$version-linux-$arch.tar.gz" -C "$work/tarball-$arch"
    local unpacked=$work/tarball-$arch/kvf_unpack-$version-linux-$arch
    check_static "$unpacked/bin/kvf_unpack"
    local root=$work/root-$arch
    mkdir -p "$root/out"
    cp "$unpacked/bin/kvf_unpack" examples/example.kvf "$root/"
    local status=0
    if [ "$arch" = x86_64 ]; then
        chroot "$root" /kvf_unpack -C /out /example.kvf > "$work/root-$arch.log" || status=$?
    else
        (cd "$root/out" && qemu-aarch64 -L "$root" ../kvf_unpack ../example.kvf) > "$work/root-$arch.log" || status=$?
    fi
    if [ $status -ne 0 ] || ! cmp -s "$work/root-$arch.log" examples/example.log || ! diff -r "$root/out" examples/images; then
        echo "tarball-$arch: status $status in an empty root; log or images differ"
        exit 1
    fi
    echo "tarball-$arch: runs in an empty root, log and images as expected"
    cmp LICENSE "$unpacked/LICENSE"
    cmp doc/format.md "$unpacked/doc/format.md"
    cmp doc/kvf.ksy "$unpacked/doc/kvf.ksy"
    cmp doc/events.schema.json "$unpacked/doc/events.schema.json"
    check_listing "$(tar -tzf "$packages/kvf_unpack-$version-linux-$arch.tar.gz")" "kvf_unpack-$version-linux-$arch"
    [ -f "$unpacked/README.md" ]
    [ -z "$(man --warnings -l "$unpacked/share/man/man1/kvf_unpack.1" 2>&1 >/dev/null)" ]
}
check_tarball x86_64
check_tarball aarch64

echo "-- Windows zip, under Wine"
mkdir "$work/zip"
unzip -q "$packages/kvf_unpack-$version-windows-x86_64.zip" -d "$work/zip"
unpacked=$work/zip/kvf_unpack-$version-windows-x86_64
[ -f "$unpacked/README.md" ] && [ -f "$unpacked/kvf_unpack.txt" ]
sed 's/$/\r/' LICENSE | cmp - "$unpacked/LICENSE.txt"
cmp doc/format.md "$unpacked/doc/format.md"
cmp doc/kvf.ksy "$unpacked/doc/kvf.ksy"
cmp doc/events.schema.json "$unpacked/doc/events.schema.json"
check_listing "$(unzip -Z1 "$packages/kvf_unpack-$version-windows-x86_64.zip")" "kvf_unpack-$version-windows-x86_64"
sed 's/$/\r/' examples/example.log > "$work/example-crlf.log"
WINEDEBUG=-all check_run zip "$work/example-crlf.log" wine "$unpacked/kvf_unpack.exe"
