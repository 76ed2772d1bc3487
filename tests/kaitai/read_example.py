#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Reads a container with the Python parser that the pinned compiler made of
doc/kvf.ksy into FOLDER, on the kaitaistruct runtime the distribution ships,
and checks that it reads what kvf_unpack --json -t tells of it: every
whole frame's kind in order, and the trailer's words.

    read_example.py FOLDER KVF_UNPACK CONTAINER

Exits 77, which the test suite counts as skipped, without that runtime.
"""
import json
import subprocess
import sys

folder, tool, container = sys.argv[1:4]
try:
    import kaitaistruct
except ImportError:
    print("skipped: no Kaitai Struct runtime for Python (apt-get install python3-kaitaistruct)")
    sys.exit(77)
sys.path.insert(0, folder)
from kvf import Kvf  # noqa: E402  (made into FOLDER)

parsed = Kvf.from_file(container)
run = subprocess.run([tool, "--json", "-t", container], stdout=subprocess.PIPE, check=True)
events = [json.loads(line) for line in run.stdout.splitlines()]
told = []
for event in events:
    if event["event"] == "flash_data":
        told += ["flash_data"] * event["frames"]
    elif event["event"] in ("erase_flash", "display_text", "dummy", "adminend", "progress", "unknown_type"):
        told.append(event["event"])
read = [frame.type.name if isinstance(frame.type, Kvf.FrameType) else "unknown_type" for frame in parsed.frames]
words = next(event["words"] for event in events if event["event"] == "trailer")
if read != told or list(parsed.trailer.words) != words:
    print("the parser reads %r and %r; kvf_unpack tells %r and %r" % (read, parsed.trailer.words, told, words))
    sys.exit(1)
print("Python parser on kaitaistruct %s: %d frames and the trailer as kvf_unpack tells them"
      % (kaitaistruct.__version__, len(read)))
