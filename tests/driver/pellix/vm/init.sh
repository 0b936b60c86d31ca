#!/bin/busybox sh
# /init of the VM test: loads pellix twice, checks its device, its control
# codes, its bound and its locking through pellix_probe (threads on at least
# two processors), unloads it, prints the kernel log and powers off. Each step prints "PELLIX-VM: ok ..." or "PELLIX-VM: FAIL ..."; the host
# side (run-vm.sh) judges the output.
# The start keeps the kernel's messages off the console; they are printed
# from the log at the end instead.
. /init-start.sh

check() { # check WHAT COMMAND...
  what=$1
  shift
  if "$@"; then echo "PELLIX-VM: ok $what"; else echo "PELLIX-VM: FAIL $what"; fi
}
registered() { grep -q ' pel_lix$' /proc/devices; }
gone() { [ ! -e /dev/pel_lix ] && [ ! -e /sys/class/pel_lix ] && ! registered; }

# The probe's threads must be able to run at the same time.
check "cpus" test "$(nproc)" -ge 2

# Twice: a second load finds nothing left over from the first. A probe that
# hangs is stopped, so that the log is still printed.
for round in 1 2; do
  check "insmod $round" insmod /pellix.ko
  check "node $round" test -c /dev/pel_lix
  check "chrdev $round" registered
  check "class $round" test -e /sys/class/pel_lix/pel_lix
  check "probe $round" timeout -s KILL 60 /pellix_probe /dev/pel_lix
  check "rmmod $round" rmmod pellix
  check "removed $round" gone
done

echo "PELLIX-VM: kernel log begins"
dmesg
echo "PELLIX-VM: kernel log ends"
echo "PELLIX-VM: finished"
poweroff -f
