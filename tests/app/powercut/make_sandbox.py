#!/usr/bin/env python3
"""Lays out the device of the power-cut test and its package.

    make_sandbox.py PACKER ROOT

ROOT (made fresh) becomes a sandbox (UPDATER_ROOT) holding an earlier
install: board files with their version records in /opt/sys_disk, the
unpacked folder of an earlier app.zip (with a file the new archive no longer
has), a boot image in /dev, older top-level files in /opt/app_disk. The
package, made by PACKER (tests/app/update_pack.py) at
/opt/update_disk/code.bin, holds newer versions of all of them: board files
in sys/ (one large enough for several progress steps), a nested app.zip with
a subfolder, a boot image in qspi/ and top-level files.
"""

import io
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

# The packer's CRC, written apart from the updater's.
sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from update_pack import crc16_modbus  # noqa: E402


def pattern(n, seed):
    return random.Random(seed).randbytes(n)


def boot_image(size, crc, version, seed):
    """CRC word at byte 80, version words at 84, 92, 100, 108."""
    img = bytearray(pattern(size, seed))
    for at, word in ((80, crc), (84, version), (92, 3), (100, 40), (108, 2019)):
        img[at:at + 4] = struct.pack("<I", word)
    return bytes(img)


def put(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as fh:
        fh.write(data)


def install(root, name, data, version):
    """A board file with its record beside it, as an earlier run left it."""
    put(os.path.join(root, "opt/sys_disk", name), data)
    stem = name.rsplit(".", 1)[0] if "." in name[1:] else name
    record = "[%s]\r\nversion=%s\r\ncheck_crc=%d\r\n" % (name, version, crc16_modbus(data))
    put(os.path.join(root, "opt/sys_disk", stem + "-info.ini"), record.encode())


def zip_bytes(files):
    """The same bytes on every run: the rerun is compared with an install of
    another copy of the package."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        for name in sorted(files):
            entry = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
            entry.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(entry, files[name])
    return out.getvalue()


def main():
    packer, root = sys.argv[1], sys.argv[2]
    if os.path.exists(root):
        shutil.rmtree(root)
    for d in ("dev", "tmp", "opt/sys_disk", "opt/app_disk", "opt/update_disk", "sys/class/gpio/gpio913"):
        os.makedirs(os.path.join(root, d))
    for f in ("sys/class/gpio/export", "sys/class/gpio/gpio913/direction", "sys/class/gpio/gpio913/value"):
        put(os.path.join(root, f), b"")
    put(os.path.join(root, "dev/hwversion.bin"), b"HW-A9-3\0\0\0")
    put(os.path.join(root, "dev/serial.bin"), b"SN-0001")
    # The status mailbox: sparse, it takes no room on the disk.
    with open(os.path.join(root, "dev/mem"), "wb") as fh:
        fh.truncate(0xFFFF0000 + 4096)

    install(root, "uImage", pattern(40000, 10), "V1.0")
    install(root, "devicetree.dtb", pattern(2000, 11), "V1.0")
    old_app = {"config.txt": b"mode=old\n", "lib/data.bin": pattern(150000, 12), "old.txt": b"stale\n"}
    install(root, "app.zip", zip_bytes(old_app), "V1")
    for name, data in old_app.items():
        put(os.path.join(root, "opt/sys_disk/app", name), data)
    put(os.path.join(root, "dev/boot.bin"), boot_image(70000, 0x1111, 0x10, 13))
    put(os.path.join(root, "opt/app_disk/readme.txt"), b"old notes\n")
    put(os.path.join(root, "opt/app_disk/media.bin"), pattern(300000, 14))

    # Scratch space beside ROOT, never the machine's /tmp.
    scratch = os.path.dirname(os.path.abspath(root))
    with tempfile.TemporaryDirectory(dir=scratch) as stage:
        new_app = {"config.txt": b"mode=new\n", "lib/data.bin": pattern(260000, 22), "lib/tables.bin":
                   pattern(70000, 23), "notes.txt": b"release notes\n"}
        put(os.path.join(stage, "sys/uImage"), pattern(2 * 1024 * 1024 + 777, 20))
        put(os.path.join(stage, "sys/devicetree.dtb"), pattern(3000, 21))
        put(os.path.join(stage, "sys/app.zip"), zip_bytes(new_app))
        put(os.path.join(stage, "qspi/boot.bin"), boot_image(300000, 0x2222, 0x11, 24))
        put(os.path.join(stage, "readme.txt"), b"new notes\n")
        put(os.path.join(stage, "media.bin"), pattern(400000, 25))
        put(os.path.join(stage, "settings.txt"), b"volume=7\n")
        recipe = {
            "stage": stage,
            "out": os.path.join(root, "opt/update_disk/code.bin"),
            "infos": {
                "sys": {"sections": {"uImage": {"version": "V1.1", "check_crc": "auto"},
                                     "devicetree.dtb": {"version": "V1.1", "check_crc": "auto"},
                                     "app.zip": {"version": "V2", "check_crc": "auto"}}},
                "qspi": {"sections": {"boot.bin": {"version": "V17", "check_crc": 0x2222}}},
            },
        }
        # The recipe lies outside the stage: everything there is packed.
        with tempfile.TemporaryDirectory(dir=scratch) as aside:
            spec = os.path.join(aside, "recipe.json")
            with open(spec, "w") as fh:
                json.dump(recipe, fh)
            subprocess.check_call([sys.executable, packer, spec], stdout=subprocess.DEVNULL)


if __name__ == "__main__":
    main()
