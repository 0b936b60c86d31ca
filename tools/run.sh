#!/usr/bin/env bash
# Builds the updater and runs it once in a sandbox that stands in for the
# device, which has older versions installed (uImage and devicetree.dtb V1.0
# with their records in /opt/sys_disk, a boot image of version 0x10 as
# /dev/boot.bin). The package is the sample one, or with DIR the tree DIR
# packed by tests/app/update_pack.py (see there for its layout):
#
#   bash tools/run.sh [DIR]
#
# Shows the program's output while it runs, then the states of the status
# mailbox and of GPIO 7 in the order they came (tools/watch_device.py polls
# both while the program runs), the shell commands it issued and the version
# records it left.
#
# The sandbox is build/demo/root, made afresh on every run; the program
# finds it through UPDATER_ROOT. It is a path prefix for the updater's own
# files, not an isolation: a package's hook and check.lua run with the
# caller's rights. Only what the updater's build needs is installed
# (tools/setup.sh --updater).
set -euo pipefail
[ $# -le 1 ] || { echo "usage: bash tools/run.sh [DIR]" >&2; exit 2; }
src=""
if [ $# = 1 ]; then
  src=$(cd "$1" && pwd) || { echo "tools/run.sh: no directory $1" >&2; exit 2; }
fi
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash tools/setup.sh --updater
cmake -S "$top" -B "$top/build/native" -G Ninja >/dev/null
ninja -C "$top/build/native" updater

demo="$top/build/demo"
root="$demo/root"
stage="$demo/stage"
case "$src/" in
  "$demo"/*) echo "tools/run.sh: $src lies in $demo, which every run removes" >&2; exit 2 ;;
esac
rm -rf "$demo"
mkdir -p "$root"/{dev,tmp,opt/sys_disk,opt/app_disk/app,opt/update_disk,sys/class/gpio/gpio913} "$stage"/{sys,qspi}

python3 - "$root" "$stage" "$src" <<'EOF'
import struct, sys
root, stage, src = sys.argv[1], sys.argv[2], sys.argv[3]

def crc16_modbus(data):
    reg = 0xFFFF
    for b in data:
        reg ^= b
        for _ in range(8):
            reg = (reg >> 1) ^ 0xA001 if reg & 1 else reg >> 1
    return reg

def put(path, data):
    with open(path, "wb") as f:
        f.write(data)

def boot_image(size, crc, version, seed):
    img = bytearray((i * seed) & 0xFF for i in range(size))
    for off, word in ((80, crc), (84, version), (92, 3), (100, 40), (108, 2019)):
        img[off:off + 4] = struct.pack("<I", word)
    return bytes(img)

# The device: identity files, GPIO 7 (sysfs 913), the mailbox page as the
# bytes of "/dev/mem" at 0xFFFF0000 (a sparse file), installed images.
put(root + "/dev/hwversion.bin", b"HW-A9-3\0")
put(root + "/dev/serial.bin", b"SN-0001\0")
for f in ("export", "gpio913/direction", "gpio913/value"):
    put(root + "/sys/class/gpio/" + f, b"")
with open(root + "/dev/mem", "wb") as f:
    f.truncate(0xFFFF0000 + 4096)
put(root + "/dev/boot.bin", boot_image(64 * 1024, 0x1111, 0x10, 7))
for name, stem, data in (("uImage", "uImage", b"K" * 200000),
                         ("devicetree.dtb", "devicetree", b"D" * 3000)):
    put(root + "/opt/sys_disk/" + name, data)
    put(root + "/opt/sys_disk/%s-info.ini" % stem,
        b"[%s]\r\nversion=V1.0\r\ncheck_crc=%d\r\n" % (name.encode(), crc16_modbus(data)))

# The sample package: a newer kernel, the same device tree, a newer boot
# image (its header's CRC word is what its check_crc is compared with), a
# check script and a note that lands in /opt/app_disk.
if not src:
    put(stage + "/sys/uImage", bytes((i * 31) & 0xFF for i in range(1500000)))
    put(stage + "/sys/devicetree.dtb", b"D" * 3000)
    put(stage + "/sys/info.ini", b"[uImage]\nversion=V1.1\n[devicetree.dtb]\nversion=V1.0\n")
    put(stage + "/qspi/boot.bin", boot_image(700 * 1024, 0x2222, 0x11, 13))
    put(stage + "/qspi/info.ini", b"[boot.bin]\nversion=V17\ncheck_crc=8738\n")
    put(stage + "/readme.txt", b"sample release\n")
    put(stage + "/check.lua",
        b"function PrintRoute() print('check.lua: sys -> /opt/sys_disk, qspi -> /dev') end\n"
        b"function Check() return true end\n")
EOF

python3 tests/app/update_pack.py --dir "${src:-$stage}" --out "$root/opt/update_disk/code.bin" --encrypt >/dev/null

echo "=== updater /opt/update_disk/code.bin   (UPDATER_ROOT=$root)"
status=0
python3 tools/watch_device.py "$root" -- \
  env UPDATER_ROOT="$root" "$top/build/native/app/updater" /opt/update_disk/code.bin || status=$?
echo "=== exit status $status (1 whatever the outcome; the lines above tell it)"
echo "=== commands.log"
cat "$root/commands.log" 2>/dev/null || echo "(none)"
echo "=== version records in /opt/sys_disk"
for f in "$root"/opt/sys_disk/*-info.ini; do echo "--- ${f#$root}"; tr -d '\r' < "$f"; done
echo "=== /opt/app_disk: $(cd "$root/opt/app_disk" && ls -p | tr '\n' ' ')"
