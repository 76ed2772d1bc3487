#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs kvf_unpack --json (extracting, and listing with -t) on the example,
on random containers from kvf_gen and on crafted ones, and checks every line:
strict JSON (no duplicate member, no raw control), valid against
doc/events.schema.json by a validator of another project's making
(python3-jsonschema, Draft 2020-12), the end event last with the exit status;
and the runs and frames against a model of the format written here.

    check_events.py KVF_UNPACK KVF_GEN SCHEMA EXAMPLE COUNT   (random containers; KVF_RANDOM_CONTAINERS overrides)
"""
import json
import os
import resource
import struct
import subprocess
import sys
import tempfile

import jsonschema

tool, generator, schema_path, example = (os.path.abspath(arg) for arg in sys.argv[1:5])
# KVF_RANDOM_CONTAINERS asks for more (CI) or fewer than the command line.
count = os.environ.get("KVF_RANDOM_CONTAINERS", sys.argv[5])
with open(schema_path, encoding="utf-8") as f:
    schema = json.load(f)
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)


def frame(kind, param1=0, param2=0, payload=b"", fill=b"\0"):
    return struct.pack("<BII", kind, param1, param2) + payload.ljust(47, fill)


def closed(body):
    return body + frame(0x41) + struct.pack("<7I", 0, 0, 0, 0, 0, len(body) + 84, 0)


def image_name(text, address):
    """An image's name, as the format's documentation gives it (POSIX rules)."""
    cut = text.find(b"  ")
    text = text if cut < 0 else text[:cut]
    name = bytearray()
    for i, c in enumerate(text):
        c = c + 32 if 65 <= c <= 90 else c
        replaced = c <= 32 or c >= 128 or c in b"/\\" or (i == 0 and c in b"-+@")
        name.append(ord("_") if replaced else c)
    return name.decode("ascii") + "_%08X.bin" % address


def model_runs(data):
    """The runs of a container walked to its end: (image, address, length, frames, offset of the close)."""
    runs, text, current, offset = [], b"", None, 0
    while offset + 56 <= len(data):
        kind, length, address = struct.unpack_from("<BII", data, offset)
        payload = data[offset + 9 : offset + 56]
        if kind == 0x16:
            text = payload.split(b"\0")[0]
        elif kind == 0x24:
            if current is None or current[4] != address:
                if current is not None:
                    runs.append(tuple(current[:4]) + (offset,))
                current = [image_name(text, address), address, 0, 0, address]
            current[2] += length
            current[3] += 1
            current[4] = (address + length) & 0xFFFFFFFF
        elif kind == 0x41:
            break
        offset += 56
    if current is not None:
        runs.append(tuple(current[:4]) + (len(data),))
    return runs


def first_is_event(pairs):
    keys = [key for key, _ in pairs]
    if len(keys) != len(set(keys)) or keys[0] != "event":
        raise ValueError("duplicate member, or not event first, in %r" % keys)
    return dict(pairs)


def full_disk():
    """In the child: no file may grow, as on a full disk."""
    resource.setrlimit(resource.RLIMIT_FSIZE, (0, 0))


def events_of(args, folder, name, stderr=subprocess.PIPE, child=None):
    """Runs the tool; returns its events, having checked every line and their order."""
    run = subprocess.run([tool] + args, cwd=folder, stdout=subprocess.PIPE, stderr=stderr, check=False,
                         preexec_fn=child)
    run.stderr = run.stderr or b""
    out = run.stdout.decode("utf-8")  # fails on bytes that are not UTF-8
    if not out.endswith("\n") or "\r" in out:
        raise AssertionError("%s: the output does not end in a line break, or holds CR" % name)
    events = []
    for line in out.splitlines():
        event = json.loads(line, object_pairs_hook=first_is_event)
        errors = sorted(validator.iter_errors(event), key=str)
        if errors:
            raise AssertionError("%s: %s\n  %s" % (name, line, errors[0].message))
        events.append(event)
    kinds = [e["event"] for e in events]
    if kinds[0] != "start" or kinds[-1] != "end" or "start" in kinds[1:] or "end" in kinds[:-1]:
        raise AssertionError("%s: not one start first and one end last: %r" % (name, kinds))
    if events[-1]["status"] != run.returncode or events[0]["container"] != events[-1]["container"]:
        raise AssertionError("%s: the end event's status is not %d, or its container not the start's" % (name, run.returncode))
    offsets = [e["offset"] for e in events if "offset" in e]
    if offsets != sorted(offsets):
        raise AssertionError("%s: offsets go backwards: %r" % (name, offsets))
    for event in events:
        # Standard error has the path's bytes where the reason has U+FFFD.
        line = ("kvf_unpack: " + event.get("reason", "")).encode()
        if "path" in event:
            line = line.replace(event["path"].encode(), path_of(event, "path"))
        if "reason" in event and stderr is subprocess.PIPE and line not in run.stderr:
            raise AssertionError("%s: reason not on standard error: %s" % (name, event["reason"]))
    return events


def path_of(event, key):
    """The bytes of a path member, from its hex twin where it is not UTF-8."""
    return bytes.fromhex(event[key + "_hex"]) if key + "_hex" in event else event[key].encode()


def check(path, name, work):
    with open(path, "rb") as f:
        data = f.read()
    outcomes = []
    for args in (["--json"], ["--json", "-t"], ["--json", "--strict"]):
        folder = tempfile.mkdtemp(dir=work)
        events = events_of(args + [path], folder, name + " " + " ".join(args))
        if "-t" in args and os.listdir(folder):
            raise AssertionError("%s: a listing made %s" % (name, os.listdir(folder)))
        if any(path_of(e, key) != os.fsencode(path) for e in events for key in ("container", "path") if key in e):
            raise AssertionError("%s: an event names another path than %r" % (name, path))
        runs = [(e["image"], e["address"], e["length"], e["frames"], e["offset"]) for e in events if e["event"] == "run_close"]
        # Every whole frame is told once, in file order: a stretch of flash data for each of its frames.
        frames = []
        for e in events:
            if e["event"] == "flash_data":
                frames += [(e["offset"] + 56 * i, "flash_data") for i in range(e["frames"])]
            elif e["event"] in FRAME_KINDS:
                frames.append((e["offset"], e["event"]))
        outcomes.append((runs, frames, events[-1]["status"]))
        if events[-1]["status"] == 0 and runs != model_runs(data):
            raise AssertionError("%s: runs %r, the model says %r" % (name, runs, model_runs(data)))
        if [offset for offset, _ in frames] != list(range(0, 56 * len(frames), 56)):
            raise AssertionError("%s: frames are not told every 56 bytes from 0" % name)
    if outcomes[0][:2] != outcomes[1][:2]:
        raise AssertionError("%s: extracting and listing tell different runs or frames" % name)


FRAME_KINDS = {"erase_flash", "display_text", "dummy", "adminend", "progress", "unknown_type"}


def check_failures(work, example):
    """The failures no container causes alone, each an event of its kind; returns their count."""
    folder = tempfile.mkdtemp(dir=work)
    os.mkdir(os.path.join(folder, "boot_loader_00010000.bin"))  # where the example's first image goes
    with open(os.path.join(folder, "file"), "wb"):
        pass
    runs = {
        "usage": ["--json"],
        "open": ["--json", "missing.kvf"],
        "directory": ["--json", "-C", "file", example],
        "create": ["--json", example],
        "read": ["--json", "."],
        "verify": ["--json", "--verify", "-t", "missing-trailer.kvf"],
    }
    with open(os.path.join(folder, "missing-trailer.kvf"), "wb") as f:
        f.write(frame(0x42, 5))
    # A long run: its image's write fails mid-run, after the run's first frames.
    long_run = os.path.join(folder, "long.kvf")
    subprocess.run([generator, "flash", "1", long_run], check=True)
    runs["write"] = ["--json", "-C", "full", long_run]
    for kind, args in runs.items():
        events = events_of(args, folder, kind, child=full_disk if kind == "write" else None)
        if not any(event.get("error") == kind for event in events) or events[-1]["status"] != 1:
            raise AssertionError("%s: no %s failure event: %r" % (kind, kind, events))
    # Standard error onto the container: the reason is the log's, as an event.
    copy = os.path.join(folder, "copy.kvf")
    with open(example, "rb") as source, open(copy, "wb") as target:
        target.write(source.read())
    with open(copy, "ab") as errors:
        events = events_of(["--json", copy], folder, "refused", stderr=errors)
    if events[1].get("error") != "refused" or os.path.getsize(copy) != os.path.getsize(example):
        raise AssertionError("refused: %r" % events)
    # Under --verify the example is intact: a verify event, before the last run's close, that matched.
    events = events_of(["--json", "--verify", "-t", example], folder, "verify")
    verified = [event for event in events if event["event"] == "verify"]
    if len(verified) != 1 or verified[0]["matched"] != "before_trailer" or events[-1]["status"] != 0:
        raise AssertionError("verify: %r" % verified)
    return len(runs) + 1


def main():
    work = tempfile.mkdtemp(prefix="kvf_events_")
    containers = {"example": example}
    crafted = {
        "forged": closed(frame(0x16, payload=b"x\n0x00000038   : 'ADMINEND' keyword found")
                         + frame(0x24, 3, 0x100, b"abc")),
        "not-utf8-\udce9": closed(frame(0x16, payload=b"caf\xe9 \xc3\xa9 \xe2\x80\xae \x1b[2J \x7f \xed\xa0\x80")),
        "unterminated": closed(frame(0x16, payload=b"\xf0\x9f\x98\x80" * 11 + b"abc")),
        "bad-dummy-\udcff": frame(0x24, 2, 5, b"ab") + frame(0x22, 0xFFFFFFFF, 0xFFFFFFFF, b"\xff" * 20),
        "too-long": frame(0x24, 2, 3, b"ab") + frame(0x24, 48, 5),  # the stretch is told before the failure
        "short-trailer": frame(0x41) + b"\0" * 27,
        "trailing": closed(frame(0x42, 0xFFFFFFFF)) + b"\0",
        "cut-short": frame(0x24, 47, 0xFFFFFFF0, b"z" * 47) + b"\x24\x01",
        "empty": b"",
    }
    for name, data in crafted.items():
        path = os.path.join(work, name + ".kvf")
        with open(path, "wb") as f:
            f.write(data)
        containers[name] = path
    for seed in range(1, int(count) + 1):
        path = os.path.join(work, "random%d.kvf" % seed)
        subprocess.run([generator, "random", str(seed), path], check=True)
        containers["random%d" % seed] = path
    for name, path in containers.items():
        check(path, name, work)
    failures = check_failures(work, containers["example"])
    print("kvf_unpack --json: %d containers and %d failures, every event valid and as the model says"
          % (len(containers), failures))
    subprocess.run(["rm", "-rf", work], check=True)


main()
