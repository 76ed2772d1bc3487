#!/bin/sh
# SPDX-License-Identifier: MIT
# The Windows build with its log in a file that a POSIX shell opened, as
# under Wine: Windows cannot tell which file that is, yet new images are
# made; and the log at an image's name is refused, left as it is.
#
#   posix_shell_windows_test.sh WINE KVF_UNPACK_EXE EXAMPLES_DIR
set -eu
wine=$1
tool=$2
examples=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
crlf() { sed 's/$/\r/' "$@"; }

mkdir "$work/new"
cd "$work/new"
status=0
"$wine" "$tool" "$examples/example.kvf" > ../log || status=$?
crlf "$examples/example.log" > ../expected
if [ $status -ne 0 ] || ! cmp -s ../log ../expected; then
    echo "log in a file: status $status, log differs:"
    diff ../expected ../log || true
    exit 1
fi
for image in "$examples"/images/*; do
    cmp "$image" "$(basename "$image")"
done

mkdir "$work/refused"
cd "$work/refused"
status=0
"$wine" "$tool" "$examples/example.kvf" > boot_loader_00010000.bin || status=$?
{
    head -n 3 "$examples/example.log"
    echo "0x000000A8   : ERROR creating outputfile: boot_loader_00010000.bin"
} | crlf > ../expected
if [ $status -ne 1 ] || ! cmp -s boot_loader_00010000.bin ../expected; then
    echo "log at an image's name: status $status, log differs:"
    diff ../expected boot_loader_00010000.bin || true
    exit 1
fi
[ "$(ls)" = boot_loader_00010000.bin ]
echo "log in a file from a POSIX shell: images made; at an image's name: refused"
