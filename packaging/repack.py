#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes a release archive (.tar.gz or .zip) made by CPack again, in place,
as a user's archiver expects it: an entry for its top folder, every folder
listed once before what it holds, members in name order, all of them dated
SOURCE_DATE_EPOCH and owned by root, so that two runs give the same bytes.

    repack.py ARCHIVE
"""
import gzip
import io
import os
import sys
import tarfile
import time
import zipfile

DIRECTORY_MODE = 0o755


def members(path):
    """Each file's name, mode and bytes; the folders are derived from the names."""
    files = {}
    if path.endswith(".zip"):
        with zipfile.ZipFile(path) as archive:
            for info in archive.infolist():
                if not info.is_dir():
                    files[info.filename] = ((info.external_attr >> 16) & 0o7777 or 0o644, archive.read(info))
    else:
        with tarfile.open(path, "r:gz") as archive:
            for info in archive.getmembers():
                if info.isfile():
                    files[info.name] = (info.mode, archive.extractfile(info).read())
                elif not info.isdir():
                    sys.exit("repack.py: %s holds %s, neither a file nor a folder" % (path, info.name))
    folders = {os.path.dirname(name[: -1] if name.endswith("/") else name) for name in files}
    for folder in list(folders):
        while folder:
            folders.add(folder)
            folder = os.path.dirname(folder)
    folders.discard("")
    return sorted(folders), files


def main():
    path = sys.argv[1]
    when = int(os.environ["SOURCE_DATE_EPOCH"])
    folders, files = members(path)
    entries = sorted([(folder + "/", None) for folder in folders] + [(name, files[name]) for name in files])
    out = io.BytesIO()
    if path.endswith(".zip"):
        stamp = time.gmtime(max(when, 315532800))[:6]  # zip dates start in 1980
        with zipfile.ZipFile(out, "w") as archive:
            for name, file in entries:
                info = zipfile.ZipInfo(name, stamp)
                info.create_system = 3  # Unix, so that the modes are read
                info.external_attr = ((DIRECTORY_MODE | 0o40000) << 16 | 0x10) if file is None else file[0] << 16
                info.compress_type = zipfile.ZIP_STORED if file is None else zipfile.ZIP_DEFLATED
                archive.writestr(info, b"" if file is None else file[1], compresslevel=9)
    else:
        tar_bytes = io.BytesIO()
        with tarfile.open(fileobj=tar_bytes, mode="w", format=tarfile.GNU_FORMAT) as archive:
            for name, file in entries:
                info = tarfile.TarInfo(name.rstrip("/"))
                info.mtime = when
                info.uid = info.gid = 0
                info.uname = info.gname = "root"
                if file is None:
                    info.type = tarfile.DIRTYPE
                    info.mode = DIRECTORY_MODE
                    archive.addfile(info)
                else:
                    info.mode = file[0]
                    info.size = len(file[1])
                    archive.addfile(info, io.BytesIO(file[1]))
        with gzip.GzipFile(filename="", mode="wb", fileobj=out, compresslevel=9, mtime=when) as compressed:
            compressed.write(tar_bytes.getvalue())
    with open(path, "wb") as f:
        f.write(out.getvalue())


main()
