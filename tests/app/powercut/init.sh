#!/bin/busybox sh
# /init of the power-cut VM. The disk (/dev/vda, ext4) holds the sandbox in
# sandbox/ and the row's cut point in powercut.conf; the kernel command line
# names the phase:
#   powercut=cut    run the updater on the sandbox's package and cut the
#                   power (sysrq "b": no sync, no unmount) at the row's point;
#   powercut=rerun  run it again on the same package to its end, sync,
#                   unmount and power off.
# Lines for the host (run-powercut.sh): "POWERCUT: ..." and the updater's
# output as "UPDATER: ...".
. /init-start.sh
# Tells the host that the kernel reached us: before this, the disk is untouched.
echo "POWERCUT: init"

fail() {
  echo "POWERCUT: FAIL $*"
  poweroff -f
}

# The disk's driver and file system are modules of this kernel.
for m in virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci virtio_blk \
         crc16 crc32c_generic mbcache jbd2 ext4; do
  insmod "/modules/$m.ko" || fail "insmod $m"
done
i=0
while [ ! -b /dev/vda ]; do
  i=$((i + 1))
  [ $i -le 200 ] || fail "no disk /dev/vda"
  usleep 50000
done
mkdir -p /disk
mount -t ext4 /dev/vda /disk || fail "mount /dev/vda"

root=/disk/sandbox
phase=
for word in $(cat /proc/cmdline); do
  case $word in powercut=*) phase=${word#powercut=} ;; esac
done
CUT_SOURCE=
CUT_TEXT=
CUT_COUNT=1
CUT_FROM=
. /disk/powercut.conf || fail "no powercut.conf"

cut() {
  # The updater stops first, so that the cut comes at the line that called
  # for it, not some steps later; what the kernel holds in its caches is
  # then lost, as in a power cut.
  kill -STOP "$updater_pid" 2>/dev/null
  echo b >/proc/sysrq-trigger
  sleep 60
}

case $phase in
cut)
  echo 1 >/proc/sys/kernel/sysrq
  echo "POWERCUT: cut at the ${CUT_COUNT}. $CUT_SOURCE line holding '$CUT_TEXT'${CUT_FROM:+ from '$CUT_FROM'}"
  mkfifo /output
  UPDATER_ROOT=$root /updater /opt/update_disk/code.bin >/output 2>&1 &
  updater_pid=$!
  if [ "$CUT_SOURCE" = commands ]; then
    # commands.log gets each command before it runs; polled without a
    # process per look, so that the cut comes before the command is done.
    (
      while :; do
        if [ -f "$root/commands.log" ]; then
          while IFS= read -r c; do
            [ "$c" = "$CUT_TEXT" ] && cut
          done <"$root/commands.log"
        fi
      done
    ) &
  fi
  counting=1
  [ -n "$CUT_FROM" ] && counting=0
  n=0
  while IFS= read -r line; do
    if [ "$CUT_SOURCE" = output ]; then
      if [ $counting = 0 ]; then
        case $line in *"$CUT_FROM"*) counting=1 ;; esac
      fi
      if [ $counting = 1 ]; then
        case $line in *"$CUT_TEXT"*)
          n=$((n + 1))
          [ $n -ge "$CUT_COUNT" ] && cut
          ;;
        esac
      fi
    fi
    echo "UPDATER: $line"
  done </output
  fail "the run ended before its cut"
  ;;
rerun)
  UPDATER_ROOT=$root /updater /opt/update_disk/code.bin 2>&1 | sed 's/^/UPDATER: /'
  sync
  umount /disk || fail "umount /disk"
  echo "POWERCUT: rerun finished"
  poweroff -f
  ;;
*)
  fail "no phase on the kernel command line"
  ;;
esac
