# The start that every VM test's /init shares, sourced by it (as
# /init-start.sh): busybox's commands, the kernel's file systems, and a
# console that the kernel's messages do not interleave with ours.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
dmesg -n 1
echo  # the firmware's last line has no end
