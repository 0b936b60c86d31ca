#!/usr/bin/env python3
"""Builds update packages for the updater's end-to-end tests.

Written apart from the C++ code on purpose: the checksums and the archive
come from Python's own CRC code, zipfile and Info-ZIP, so a mistake shared
between a C++ writer and the C++ reader cannot hide.

Usage: e2e_pack.py OUT.zip MANIFEST.json

Manifest:
  {
    "password": "kth507316",          optional: encrypt with Info-ZIP zip -P
    "entries": [                      archive entries, in order
      {"name": "check.lua", "text": "..."},
      {"name": "sys/uImage", "src": "/abs/path"},
      {"name": "sys/sub/", "dir": true}
    ],
    "info": {                         one info.ini per package directory
      "sys": {
        "uImage": {"version": "V1.2"},              check_crc computed
        "app.elf": {"version": "V2", "check_crc": 7}  check_crc given
      }
    },
    "bad_check": ["sys"]              info.ini whose check byte is wrong
  }

info.ini: INI text, one pad byte, then the CRC-8/I-432-1 of the text.
check_crc: CRC-16/MODBUS of the packaged file, in decimal.
"""

import json
import os
import subprocess
import sys
import tempfile
import zipfile


def crc8_i432(data):
    # Width 8, polynomial 0x07, initial 0, not reflected, final XOR 0x55.
    crc = 0
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = ((crc << 1) ^ 0x07) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
    return crc ^ 0x55


def crc16_modbus(data):
    # Initial 0xFFFF, reflected polynomial 0xA001 (0x8005), no final XOR.
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def entry_bytes(entry):
    if "text" in entry:
        return entry["text"].encode("utf-8")
    if "src" in entry:
        with open(entry["src"], "rb") as f:
            return f.read()
    return b""


def info_ini(sections, contents, bad):
    lines = []
    for name, keys in sections.items():
        lines.append("[%s]" % name)
        if "version" in keys:
            lines.append("version=%s" % keys["version"])
        crc = keys.get("check_crc")
        if crc is None and name in contents:
            crc = crc16_modbus(contents[name])
        if crc is not None:
            lines.append("check_crc=%d" % crc)
    text = ("\r\n".join(lines) + "\r\n").encode("utf-8")
    check = crc8_i432(text)
    if bad:
        check ^= 0xFF
    return text + b"\n" + bytes([check])


def main():
    if len(sys.argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    out_path, manifest_path = sys.argv[1], sys.argv[2]
    with open(manifest_path, "r", encoding="utf-8") as f:
        manifest = json.load(f)

    entries = []  # (name, bytes or None for a directory)
    by_dir = {}
    for entry in manifest.get("entries", []):
        if entry.get("dir"):
            entries.append((entry["name"], None))
            continue
        data = entry_bytes(entry)
        entries.append((entry["name"], data))
        head, _, tail = entry["name"].rpartition("/")
        by_dir.setdefault(head, {})[tail] = data

    bad = set(manifest.get("bad_check", []))
    infos = []
    for directory, sections in manifest.get("info", {}).items():
        infos.append((directory + "/info.ini", info_ini(sections, by_dir.get(directory, {}), directory in bad)))
    entries = infos + entries

    if os.path.exists(out_path):
        os.remove(out_path)
    password = manifest.get("password")
    if not password:
        with zipfile.ZipFile(out_path, "w", zipfile.ZIP_DEFLATED) as z:
            for name, data in entries:
                if data is None:
                    z.writestr(zipfile.ZipInfo(name if name.endswith("/") else name + "/"), b"")
                else:
                    z.writestr(name, data)
        return 0

    # Encrypted: Info-ZIP's traditional PKWARE encryption, entries added one
    # by one so that the archive keeps the manifest's order.
    with tempfile.TemporaryDirectory() as stage:
        for name, data in entries:
            path = os.path.join(stage, name)
            if data is None:
                os.makedirs(path, exist_ok=True)
                continue
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        out_abs = os.path.abspath(out_path)
        for name, data in entries:
            subprocess.run(["zip", "-q", "-P", password, out_abs, name], cwd=stage, check=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
