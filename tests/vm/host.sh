# The host side that every VM test's run script shares, sourced by it (bash):
# Debian's amd64 kernel and a static busybox as tools/setup-kernel.sh unpacked
# them, the initramfs and the boot itself. It sets `top`, the source tree,
# from where it lies itself (tests/vm), for the script's other paths too; the
# script sets `timeout_s` (the seconds one boot may take) before it boots.
vm_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
top=$(cd "$vm_dir/../.." && pwd)
cache="$top/.cache/kernel"
kernels=("$cache"/image/boot/vmlinuz-*-amd64)
kernel=${kernels[0]}
busybox="$cache/busybox/bin/busybox"

# vm_ready: the kernel image and busybox are there.
vm_ready() {
  [ -f "$kernel" ] && [ -x "$busybox" ]
}

# vm_root DIR INIT: a fresh initramfs tree in DIR with busybox, INIT as
# /init and the start it sources.
vm_root() {
  rm -rf "$1" && mkdir -p "$1/bin" "$1/proc" "$1/sys" "$1/dev" &&
    cp "$busybox" "$1/bin/busybox" &&
    cp "$vm_dir/init-start.sh" "$1/init-start.sh" &&
    cp "$2" "$1/init" && chmod 755 "$1/init"
}

# vm_pack DIR OUT: the tree in DIR as a gzipped initramfs.
vm_pack() {
  (cd "$1" && find . | "$busybox" cpio -o -H newc 2>/dev/null) | gzip -1 >"$2"
}

# vm_boot RAW LOG QEMU-ARGS...: one boot on 2 processors, bounded by
# timeout_s, its console in RAW as it came and in LOG without carriage
# returns and the firmware's terminal escapes; returns qemu's (or
# timeout's) status.
# TCG, not KVM: the same on every machine, nested virtualisation or not
# (KVM was seen to hang here), and a boot takes seconds anyway. 256 MB
# keeps the engine's default window (1 GB) clear of RAM. Two processors, so
# that threads really run at once.
vm_boot() {
  local raw=$1 log=$2 rc
  shift 2
  timeout -k 10 "$timeout_s" qemu-system-x86_64 -accel tcg -m 256 -smp 2 \
    -nographic -no-reboot -nic none -monitor none -serial stdio \
    -kernel "$kernel" "$@" </dev/null >"$raw" 2>&1
  rc=$?
  tr -d '\r' <"$raw" | sed -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\x1bc//g' >"$log"
  return $rc
}
