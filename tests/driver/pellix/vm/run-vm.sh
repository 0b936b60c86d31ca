#!/usr/bin/env bash
# run-vm.sh MODULE.ko WORKDIR: boots Debian's amd64 kernel (unpacked by
# tools/setup-kernel.sh) in qemu on 2 processors with an initramfs made here
# (busybox-static, init.sh, pellix_probe, the module), within VM_TIMEOUT
# seconds (default 180), and judges the console output. Prints the reasons of a failure;
# exits 0 on success.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../vm/host.sh"
module=$1 work=$2
timeout_s=${VM_TIMEOUT:-180}

if ! vm_ready; then
  echo "vm: no kernel image or busybox in $cache (run tools/setup.sh)"
  exit 1
fi

rm -rf "$work" && mkdir -p "$work"
vm_root "$work/root" "$here/init.sh"
cp "$module" "$work/root/pellix.ko"
if ! gcc -static -pthread -O2 -Wall -Wextra -Werror -I"$top/driver/pellix" \
     "$here/pellix_probe.c" -o "$work/root/pellix_probe" 2>"$work/probe.log"; then
  cat "$work/probe.log"; echo "vm: building pellix_probe failed"; exit 1
fi
vm_pack "$work/root" "$work/initrd.gz"

# The log buffer holds all that the probe makes the module print, up to the
# end.
vm_boot "$work/console.log" "$work/console.txt" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 quiet panic=-1 log_buf_len=4M"
rc=$?

problems=()
[ $rc -eq 124 ] || [ $rc -eq 137 ] && problems+=("no power-off within ${timeout_s}s")
grep -q 'PELLIX-VM: ok cpus$' "$work/console.txt" || problems+=("fewer than 2 processors")
grep -q 'PELLIX-VM: finished$' "$work/console.txt" || problems+=("init did not finish")
while read -r line; do problems+=("$line"); done < <(grep -E 'PELLIX-VM: FAIL|pellix_probe: FAIL' "$work/console.txt")
for step in insmod node chrdev class probe rmmod removed; do
  for round in 1 2; do
    grep -q "PELLIX-VM: ok $step $round\$" "$work/console.txt" || problems+=("step '$step $round' not passed")
  done
done
# Oopses, warnings, stalls and sanitizer reports anywhere on the console.
while read -r line; do problems+=("kernel: $line"); done < <(
  grep -E 'Oops|BUG:|WARNING:|Call Trace|general protection|Kernel panic|UBSAN|KASAN|kernel BUG|segfault|detected stall|blocked for more than' \
    "$work/console.txt" | head -n 20)

if [ ${#problems[@]} -gt 0 ]; then
  echo "vm: console output (last 60 lines):"
  tail -n 60 "$work/console.txt"
  for p in "${problems[@]}"; do echo "vm: $p"; done
  exit 1
fi
# The module's lines, each once with its count: the probe repeats them.
sed -n '/PELLIX-VM: kernel log begins/,/PELLIX-VM: kernel log ends/p' "$work/console.txt" |
  sed 's/^\[ *[0-9.]*\] //' | grep -E 'pellix|pel_lix|first_drv|_sg_|_single_' |
  sort | uniq -c | sed 's/^ */vm: /'
echo "vm: module loaded twice on 2 processors; device, control codes, bound and threads checked; no oops, bug or warning"
exit 0
