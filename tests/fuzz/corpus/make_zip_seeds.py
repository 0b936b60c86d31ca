#!/usr/bin/env python3
"""Writes the seed archives of zip_fuzz into corpus/zip: stored, deflated,
encrypted with the package password (Info-ZIP zip -P), with a directory
entry, with ':' and '\\' in names, and a mixed plain + encrypted one. Run from anywhere; output is
deterministic apart from the encrypted entries' random header bytes."""

import os
import subprocess
import tempfile
import zipfile

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "zip")
os.makedirs(here, exist_ok=True)
date = (2020, 1, 2, 3, 4, 6)


def entry(z, name, data, method):
    info = zipfile.ZipInfo(name, date)
    info.compress_type = method
    z.writestr(info, data)


with zipfile.ZipFile(os.path.join(here, "stored.zip"), "w") as z:
    entry(z, "a.txt", b"hello zip\n", zipfile.ZIP_STORED)
with zipfile.ZipFile(os.path.join(here, "deflated.zip"), "w") as z:
    entry(z, "sys/info.ini", b"[qlx]\r\nversion=V1.2\r\n" * 8, zipfile.ZIP_DEFLATED)
    entry(z, "sys/qlx", b"\x7fELF" + bytes(range(200)), zipfile.ZIP_DEFLATED)
with zipfile.ZipFile(os.path.join(here, "directory.zip"), "w") as z:
    entry(z, "sys/", b"", zipfile.ZIP_STORED)
    entry(z, "sys/sub/", b"", zipfile.ZIP_STORED)
    entry(z, "sys/sub/f", b"x" * 40, zipfile.ZIP_DEFLATED)

# Names with ':' and '\\' that once escaped the target directory.
with zipfile.ZipFile(os.path.join(here, "names.zip"), "w") as z:
    entry(z, "x:keep/planted/", b"", zipfile.ZIP_STORED)
    entry(z, "evil:esc\\deeper\\x.txt", b"inside\n", zipfile.ZIP_STORED)

with tempfile.TemporaryDirectory() as stage:
    with open(os.path.join(stage, "e.txt"), "wb") as fh:
        fh.write(b"secret text " * 6)
    out = os.path.join(here, "encrypted.zip")
    if os.path.exists(out):
        os.remove(out)
    subprocess.check_call(["zip", "-q", "-X", "-P", "kth507316", out, "e.txt"], cwd=stage)
    mixed = os.path.join(here, "mixed.zip")
    with zipfile.ZipFile(mixed, "w") as z:
        entry(z, "plain.txt", b"plain\n", zipfile.ZIP_DEFLATED)
    subprocess.check_call(["zip", "-q", "-X", "-P", "kth507316", mixed, "e.txt"], cwd=stage)
