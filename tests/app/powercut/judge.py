#!/usr/bin/env python3
"""Reads the board that a VM's disk held (dumped by debugfs) against the
board of an uninterrupted install.

    judge.py state EXPECTED GOT BEFORE
                                   one line: what the cut left (files as
                                   installed, empty ones, each record); exit
                                   status 1 if a record names bytes (its
                                   CRC) that its file does not hold, or if a
                                   file of app_disk is neither whole old
                                   (BEFORE: the board before the install;
                                   absent if it had none) nor whole new
    judge.py compare EXPECTED GOT  every file that differs, is missing or is
                                   left over; exit status 1 if any

EXPECTED and GOT hold sys_disk/, app_disk/ and boot.bin (the device's
/opt/sys_disk, /opt/app_disk and /dev/boot.bin).
"""

import os
import re
import sys

# The packer's CRC, written apart from the updater's.
sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from update_pack import crc16_modbus  # noqa: E402


def tree(top):
    """Relative path -> bytes (directories as "name/" -> None)."""
    out = {}
    if os.path.isfile(top):
        return {"": read(top)}
    for base, dirs, files in os.walk(top):
        rel = os.path.relpath(base, top)
        for d in dirs:
            out[os.path.normpath(os.path.join(rel, d)) + "/"] = None
        for f in files:
            out[os.path.normpath(os.path.join(rel, f))] = read(os.path.join(base, f))
    return out


def read(path):
    with open(path, "rb") as fh:
        return fh.read()


def board(top):
    files = {}
    for part in ("sys_disk", "app_disk", "boot.bin"):
        for rel, data in tree(os.path.join(top, part)).items():
            files[part + ("/" + rel if rel else "")] = data
    return files


def records(top):
    """Each version record of sys_disk: (name, version, holds its bytes)."""
    out = []
    sys_disk = os.path.join(top, "sys_disk")
    for rec in sorted(os.listdir(sys_disk)) if os.path.isdir(sys_disk) else []:
        if not rec.endswith("-info.ini"):
            continue
        text = read(os.path.join(sys_disk, rec)).decode("latin-1")
        m = re.search(r"^\[(.*)\]\s*$", text, re.M)
        version = re.search(r"^version=(.*?)\s*$", text, re.M)
        crc = re.search(r"^check_crc=(\d+)\s*$", text, re.M)
        if not m:
            out.append((rec, "no section", False))
            continue
        name = m.group(1)
        path = os.path.join(sys_disk, name)
        holds = crc is not None and os.path.isfile(path) and crc16_modbus(read(path)) == int(crc.group(1))
        out.append((name, version.group(1) if version else "none", holds))
    return out


def state(expected, got, before):
    want = board(expected)
    have = board(got)
    old = board(before)
    same = sum(1 for k, v in want.items() if v is not None and have.get(k) == v)
    total = sum(1 for v in want.values() if v is not None)
    empty = sorted(k for k, v in have.items() if v == b"")
    parts = ["%d of %d files as installed" % (same, total)]
    if empty:
        parts.append("empty: " + " ".join(empty))
    recs = []
    false_claims = 0
    for name, version, holds in records(got):
        # V0.0 is the mark of a file being rewritten: it claims nothing.
        if holds or version == "V0.0":
            recs.append("%s %s" % (name, version))
        else:
            recs.append("%s %s CLAIMS BYTES ITS FILE LACKS" % (name, version))
            false_claims += 1
    parts.append("records: " + (", ".join(recs) if recs else "none"))
    # A file there is replaced through a temporary and a rename: whatever
    # the moment of the cut, it is whole, old or new (the temporaries may
    # stay behind for the rerun).
    torn = []
    for k in sorted(set(want) | set(old)):
        if not k.startswith("app_disk/") or k.endswith("/"):
            continue
        if have.get(k) not in (want.get(k), old.get(k)):
            torn.append(k)
    if torn:
        parts.append("NEITHER OLD NOR NEW: " + " ".join(torn))
    print("; ".join(parts))
    return 1 if false_claims or torn else 0


def compare(expected, got):
    want = board(expected)
    have = board(got)
    bad = []
    for k in sorted(set(want) | set(have)):
        if k not in have:
            bad.append("missing " + k)
        elif k not in want:
            bad.append("left over " + k)
        elif want[k] != have[k]:
            n = len(have[k])
            kind = "empty" if n == 0 else ("all NUL" if have[k].count(0) == n else "%d bytes" % n)
            bad.append("differs %s (%s, %d expected)" % (k, kind, len(want[k])))
    for line in bad:
        print(line)
    return 1 if bad else 0


def main():
    if sys.argv[1:2] == ["state"] and len(sys.argv) == 5:
        return state(sys.argv[2], sys.argv[3], sys.argv[4])
    if sys.argv[1:2] != ["compare"] or len(sys.argv) != 4:
        sys.exit(__doc__)
    return compare(sys.argv[2], sys.argv[3])


if __name__ == "__main__":
    sys.exit(main())
