#!/usr/bin/env python3
"""Test packer for update packages, written apart from the updater's C++ so
that a CRC or format mistake there cannot hide by being shared.

    update_pack.py RECIPE.json

RECIPE: {
  "stage": "/abs/dir",       package tree laid out by the test (top-level
                             files and one directory per board directory)
  "out": "/abs/pkg.zip",
  "password": "",            non-empty: Info-ZIP "zip -P" (traditional
                             encryption)
  "corrupt": "",             "flip": damage the first entry's data
  "infos": {                 "info.ini" written into stage/<dir>
    "<dir>": {
      "sections": {"<file>": {"version": "V1.2", "check_crc": "auto" | int}},
                             a key left out is not written
      "pad_to": 0,           pad the file to exactly this many bytes
      "bad_check": false     store a wrong check byte
    }
  }
}

"info.ini" is INI text (CR LF), then ';' and the check byte: the CRC-8/I-432-1
of everything before those two bytes, so the INI reader sees a comment line.
Prints "<dir>/<file> <crc16>" for every file below a package directory.
"""

import json
import os
import subprocess
import sys
import zipfile


def crc16_modbus(data):
    table = []
    for i in range(256):
        r = i
        for _ in range(8):
            r = (r >> 1) ^ 0xA001 if r & 1 else r >> 1
        table.append(r)
    reg = 0xFFFF
    for b in data:
        reg = table[(reg ^ b) & 0xFF] ^ (reg >> 8)
    return reg


def crc8_i432(data):
    reg = 0
    for b in data:
        reg ^= b
        for _ in range(8):
            reg = ((reg << 1) ^ 0x07) & 0xFF if reg & 0x80 else (reg << 1) & 0xFF
    return reg ^ 0x55


def file_crcs(stage):
    crcs = {}
    for d in sorted(os.listdir(stage)):
        full = os.path.join(stage, d)
        if not os.path.isdir(full):
            continue
        for f in sorted(os.listdir(full)):
            p = os.path.join(full, f)
            if os.path.isfile(p) and f != "info.ini":
                with open(p, "rb") as fh:
                    crcs[d + "/" + f] = crc16_modbus(fh.read())
    return crcs


def info_ini(d, recipe, crcs):
    text = ""
    for name, keys in recipe.get("sections", {}).items():
        text += "[%s]\r\n" % name
        if "version" in keys:
            text += "version=%s\r\n" % keys["version"]
        if "check_crc" in keys:
            crc = keys["check_crc"]
            if crc == "auto":
                crc = crcs[d + "/" + name]
            text += "check_crc=%d\r\n" % crc
    body = text.encode()
    pad_to = recipe.get("pad_to", 0)
    if pad_to:
        fill = pad_to - len(body) - 2
        if fill < 0:
            raise SystemExit("pad_to too small")
        while fill > 0:
            chunk = min(fill, 66)
            body += b"#" * (chunk - 2) + b"\r\n" if chunk >= 2 else b"\n"
            fill -= chunk
    check = crc8_i432(body)
    if recipe.get("bad_check"):
        check ^= 0x01
    return body + b";" + bytes([check])


def main():
    with open(sys.argv[1]) as fh:
        recipe = json.load(fh)
    stage = recipe["stage"]
    out = recipe["out"]
    crcs = file_crcs(stage)
    for d, info in recipe.get("infos", {}).items():
        with open(os.path.join(stage, d, "info.ini"), "wb") as fh:
            fh.write(info_ini(d, info, crcs))

    if os.path.exists(out):
        os.remove(out)
    password = recipe.get("password", "")
    if password:
        subprocess.check_call(["zip", "-q", "-r", "-P", password, out, "."], cwd=stage)
    else:
        with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
            for root, dirs, files in os.walk(stage):
                dirs.sort()
                rel = os.path.relpath(root, stage)
                if rel != ".":
                    z.write(root, rel + "/")
                for f in sorted(files):
                    p = os.path.join(root, f)
                    z.write(p, os.path.relpath(p, stage))
    if recipe.get("corrupt") == "flip":
        with zipfile.ZipFile(out) as z:
            first = z.infolist()[0]
            while first.is_dir() or first.compress_size < 8:
                first = z.infolist()[z.infolist().index(first) + 1]
        with open(out, "r+b") as fh:
            fh.seek(first.header_offset + 26)
            name_len = int.from_bytes(fh.read(2), "little")
            extra_len = int.from_bytes(fh.read(2), "little")
            at = first.header_offset + 30 + name_len + extra_len + first.compress_size // 2
            fh.seek(at)
            b = fh.read(4)
            fh.seek(at)
            fh.write(bytes(x ^ 0xA5 for x in b))

    for k in sorted(crcs):
        print("%s %d" % (k, crcs[k]))


if __name__ == "__main__":
    main()
