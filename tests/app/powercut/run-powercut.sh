#!/usr/bin/env bash
# run-powercut.sh UPDATER WORKDIR: cuts the power during installs in a VM and
# checks that a rerun ends where an uninterrupted install does.
#
# UPDATER is a statically linked native build of the program. For each row of
# the table below and each file system (ext4 with its journal, ext4 without
# one), on a fresh disk image (made with mkfs.ext4 -d from a fresh sandbox
# and package, tests/app/powercut/make_sandbox.py):
#   1. boot Debian's amd64 kernel (tools/setup-kernel.sh) with the disk on
#      virtio, cache=none (what the guest has not written out is lost); the
#      guest (init.sh) runs the updater and cuts the power with sysrq "b" at
#      the row's line of its output or of commands.log;
#   2. e2fsck -fy on the image, and a line of what the cut left; a version
#      record that names bytes (a CRC) its file does not hold, or a file of
#      /opt/app_disk that is neither whole old nor whole new, fails the row;
#   3. boot again: the updater reruns on the same package to its end;
#   4. e2fsck -fn must find the disk clean, and every board file, version
#      record, the boot image and every file of /opt/app_disk must equal those
#      of an uninterrupted install of the same package (run here, on the
#      host, in WORKDIR/reference).
# Prints one line per row and a summary; exits non-zero when a row failed.
# Every boot is bounded by VM_TIMEOUT seconds (default 120).
#   POWERCUT_FS    file systems to run ("journal nojournal")
#   POWERCUT_ROWS  names of the rows to run (all)
#   POWERCUT_JOBS  VMs at once (half the processors, 4 at most)
# Needs the kernel modules of the disk and of ext4, which the VM kernel's
# package holds: fetched once (with the private apt lists that tools/setup.sh
# made) into POWERCUT_MODULES (default build-kernel/vm-modules-ABI).
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../vm/host.sh"
updater=$1 work=$2
timeout_s=${VM_TIMEOUT:-120}
# Two processors per VM: half the machine's at most, four VMs at most.
jobs=${POWERCUT_JOBS:-$(n=$(($(nproc) / 2)); [ $n -gt 4 ] && n=4; [ $n -lt 1 ] && n=1; echo $n)}
filesystems=${POWERCUT_FS:-journal nojournal}

# name|source|text|count|from: the cut follows the count-th line holding
# text (counted from the first line holding from, when given) in the
# updater's output, or the line equal to text in commands.log.
rows=(
  "boot-block|output|[progress]|1|start update boot.bin"
  "kernel-block|output|[progress]|2|start update uImage"
  "kernel-done|output|finish update file uImage|1|"
  "unpacking|output|dirname: /opt/sys_disk/app|1|"
  "unpacked|output|finish unzip /opt/sys_disk/app.zip|1|"
  "archive-recorded|output|finish update file app.zip|1|"
  "rewrite-end|output|****** end ******|1|"
  "before-sync|commands|sync|1|"
  "before-reboot|output|*** Update file finish, need to reboot ***|1|"
)

die() {
  echo "powercut: $*"
  exit 1
}

vm_ready || die "no kernel image or busybox in $cache (run tools/setup.sh)"
abi=${kernel##*/vmlinuz-}
abi=${abi%-amd64}
for tool in qemu-system-x86_64 mkfs.ext4 e2fsck debugfs python3 readelf; do
  command -v "$tool" >/dev/null || die "$tool is not installed"
done
[ -x "$updater" ] || die "no updater at $updater"
# readelf, not file(1): a minimal system has binutils (build-essential) but
# not file. A program with an interpreter is linked dynamically.
readelf -lW "$updater" 2>/dev/null | grep -q 'Requesting program interpreter' &&
  die "$updater is not statically linked"

modules_dir=${POWERCUT_MODULES:-$top/build-kernel/vm-modules-$abi}
modules=(virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci virtio_blk
         crc16 crc32c_generic mbcache jbd2 ext4)
if [ ! -f "$modules_dir/.ready" ]; then
  apt_dir=${APT_PRIVATE_DIR:-$top/.cache/apt}
  [ -d "$apt_dir/lists" ] || die "no private apt lists in $apt_dir (run tools/setup.sh)"
  rm -rf "$modules_dir" && mkdir -p "$modules_dir/deb" || die "cannot make $modules_dir"
  echo "powercut: fetching the modules of linux-image-$abi-amd64 into $modules_dir"
  (cd "$modules_dir/deb" && apt-get -q -o "Dir::Etc::SourceList=/dev/null" \
     -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d" -o "Dir::State::Lists=$apt_dir/lists" \
     -o "APT::Architectures::=amd64" download "linux-image-$abi-amd64:amd64" >/dev/null 2>&1) ||
    die "cannot download linux-image-$abi-amd64"
  dpkg-deb -x "$modules_dir"/deb/*.deb "$modules_dir/deb/x" || die "cannot unpack linux-image-$abi-amd64"
  for m in "${modules[@]}"; do
    found=$(find "$modules_dir/deb/x/lib/modules" -name "$m.ko" | head -n 1)
    [ -n "$found" ] || die "linux-image-$abi-amd64 has no $m.ko"
    cp "$found" "$modules_dir/"
  done
  rm -rf "$modules_dir/deb"
  touch "$modules_dir/.ready"
fi

rm -rf "$work" && mkdir -p "$work" && vm_root "$work/initrd" "$here/init.sh" && mkdir -p "$work/initrd/modules" ||
  die "cannot make $work"
cp "$updater" "$work/initrd/updater"
for m in "${modules[@]}"; do cp "$modules_dir/$m.ko" "$work/initrd/modules/"; done
vm_pack "$work/initrd" "$work/initrd.gz" || die "cannot make the initramfs"

# The board as the device keeps it: /opt/sys_disk, /opt/app_disk, /dev/boot.bin.
board_from_dir() { # ROOT OUT
  mkdir -p "$2" && cp -a "$1/opt/sys_disk" "$2/sys_disk" && cp -a "$1/opt/app_disk" "$2/app_disk" &&
    cp -a "$1/dev/boot.bin" "$2/boot.bin"
}
board_from_image() { # IMAGE OUT
  mkdir -p "$2" &&
    debugfs -R "rdump /sandbox/opt/sys_disk /sandbox/opt/app_disk $2" "$1" >/dev/null 2>&1 &&
    debugfs -R "dump /sandbox/dev/boot.bin $2/boot.bin" "$1" >/dev/null 2>&1 &&
    [ -d "$2/sys_disk" ] && [ -d "$2/app_disk" ] && [ -f "$2/boot.bin" ]
}

# The uninterrupted install.
ref="$work/reference"
python3 "$here/make_sandbox.py" "$top/tests/app/update_pack.py" "$ref/root" || die "cannot make the sandbox"
UPDATER_ROOT="$ref/root" timeout -k 5 120 "$updater" /opt/update_disk/code.bin >"$ref/output.txt" 2>&1 </dev/null
grep -qx '\*\*\* Update file finish, need to reboot \*\*\*' "$ref/output.txt" ||
  { cat "$ref/output.txt"; die "the uninterrupted install did not finish"; }
[ ! -e "$ref/root/tmp/update" ] || die "the uninterrupted install left /tmp/update"
board_from_dir "$ref/root" "$ref/board" || die "cannot copy the reference board"

# boot IMAGE PHASE LOG: one VM run; the console without carriage returns and
# terminal escapes in LOG. Under emulation a kernel now and then hangs
# before it starts /init: such a boot, which has not touched the disk yet
# (no "POWERCUT:" line), is tried once more.
boot() {
  local attempt rc
  for attempt in 1 2; do
    vm_boot "$3.raw" "$3" -initrd "$work/initrd.gz" \
      -drive "file=$1,if=virtio,format=raw,cache=none" \
      -append "console=ttyS0 quiet panic=-1 powercut=$2"
    rc=$?
    rm -f "$3.raw"
    if { [ $rc -eq 124 ] || [ $rc -eq 137 ]; } && ! grep -q 'POWERCUT:' "$3" && [ $attempt -eq 1 ]; then
      echo "powercut: a $2 boot hung before /init; booting it again" >&2
      mv "$3" "$3.hung"
      continue
    fi
    break
  done
  return $rc
}

# Kernel faults anywhere on a console.
kernel_trouble() {
  grep -E 'Oops|BUG:|WARNING:|Call Trace|Kernel panic|EXT4-fs error|I/O error|blocked for more than' "$1" | head -n 5
}

# run_row FS ROW: one row on one file system; its report in DIR/report.
run_row() {
  local fs=$1 spec=$2 name source text count from
  IFS='|' read -r name source text count from <<<"$spec"
  local dir="$work/$fs-$name"
  local img="$dir/disk.img" report="$dir/report"
  mkdir -p "$dir/stage"
  result() { echo "$1 $fs $name: ${*:2}" >>"$report"; }
  python3 "$here/make_sandbox.py" "$top/tests/app/update_pack.py" "$dir/stage/sandbox" >"$dir/make.log" 2>&1 ||
    { result FAIL "cannot make the sandbox"; return; }
  board_from_dir "$dir/stage/sandbox" "$dir/before-board" || { result FAIL "cannot copy the board"; return; }
  printf "CUT_SOURCE=%s\nCUT_TEXT='%s'\nCUT_COUNT=%s\nCUT_FROM='%s'\n" "$source" "$text" "$count" "$from" \
    >"$dir/stage/powercut.conf"
  local features=""
  [ "$fs" = nojournal ] && features="-O ^has_journal"
  # The updater walks directories in the order ext4 gives, that of the
  # names' hashes: a fixed seed gives every run the same order (qspi before
  # sys; uImage, app.zip, devicetree.dtb), so a row cuts at the same point
  # of the install each time.
  # shellcheck disable=SC2086
  mkfs.ext4 -F -q $features -U 00000000-0000-0000-0000-0000000000c1 \
    -E hash_seed=00000000-0000-0000-0000-000000000002 -d "$dir/stage" "$img" 64M >"$dir/mkfs.log" 2>&1 ||
    { result FAIL "mkfs.ext4: $(tail -n 1 "$dir/mkfs.log")"; return; }

  boot "$img" cut "$dir/cut.txt"
  local rc=$?
  if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
    result FAIL "the first boot did not end within ${timeout_s}s"; return
  fi
  if grep -q 'POWERCUT: FAIL' "$dir/cut.txt" || ! grep -q 'sysrq: Resetting' "$dir/cut.txt"; then
    result FAIL "no cut: $(grep 'POWERCUT: FAIL' "$dir/cut.txt" | head -n 1)"; return
  fi
  local trouble
  trouble=$(kernel_trouble "$dir/cut.txt")
  [ -z "$trouble" ] || { result FAIL "kernel: $trouble"; return; }
  local last
  last=$(grep '^UPDATER: ' "$dir/cut.txt" | tail -n 1 | sed 's/^UPDATER: //; s/\t/ /g')

  e2fsck -fy "$img" >"$dir/e2fsck-cut.log" 2>&1
  rc=$?
  [ $rc -le 1 ] || { result FAIL "e2fsck after the cut: status $rc"; return; }
  local fsck_note="clean"
  [ $rc -eq 1 ] && fsck_note="repaired"
  board_from_image "$img" "$dir/cut-board" || { result FAIL "cannot read the disk after the cut"; return; }
  local left claims=0
  left=$(python3 "$here/judge.py" state "$ref/board" "$dir/cut-board" "$dir/before-board") || claims=1

  boot "$img" rerun "$dir/rerun.txt"
  rc=$?
  if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
    result FAIL "the rerun did not end within ${timeout_s}s"; return
  fi
  grep -q 'POWERCUT: rerun finished' "$dir/rerun.txt" ||
    { result FAIL "the rerun did not finish: $(grep 'POWERCUT: FAIL' "$dir/rerun.txt" | head -n 1)"; return; }
  trouble=$(kernel_trouble "$dir/rerun.txt")
  [ -z "$trouble" ] || { result FAIL "kernel: $trouble"; return; }
  e2fsck -fn "$img" >"$dir/e2fsck-rerun.log" 2>&1 ||
    { result FAIL "e2fsck after the rerun: $(grep -v '^Pass\|^e2fsck' "$dir/e2fsck-rerun.log" | head -n 1)"; return; }
  board_from_image "$img" "$dir/board" || { result FAIL "cannot read the disk after the rerun"; return; }
  local rerun_end
  rerun_end=$(grep -c '^UPDATER: \[update\]' "$dir/rerun.txt")
  if [ "$(debugfs -R 'ls -l /sandbox/tmp' "$img" 2>/dev/null | grep -c ' update$')" != 0 ]; then
    result FAIL "the rerun left /tmp/update"; return
  fi
  local diffs
  diffs=$(python3 "$here/judge.py" compare "$ref/board" "$dir/board")
  {
    echo "  cut at the $count. line holding '$text'${from:+ from '$from'}; last line shown: $last"
    echo "  e2fsck: $fsck_note; after the cut: $left"
    echo "  the rerun rewrote $rerun_end files"
  } >>"$report"
  if [ $claims -ne 0 ] && [ -n "$diffs" ]; then
    result FAIL "after the cut a record claimed bytes its file did not hold or a file of /opt/app_disk" \
      "was torn, and the rerun differs from an uninterrupted install:"
  elif [ $claims -ne 0 ]; then
    result FAIL "after the cut a record claimed bytes its file did not hold or a file of /opt/app_disk was torn"
  elif [ -n "$diffs" ]; then
    result FAIL "the rerun differs from an uninterrupted install:"
  else
    result PASS "the rerun equals an uninterrupted install"
  fi
  [ -z "$diffs" ] || sed 's/^/    /' <<<"$diffs" >>"$report"
  rm -f "$img"
}

started=$(date +%s)
names=()
for fs in $filesystems; do
  for spec in "${rows[@]}"; do
    name=${spec%%|*}
    if [ -n "${POWERCUT_ROWS:-}" ] && ! grep -qw -- "$name" <<<"$POWERCUT_ROWS"; then continue; fi
    names+=("$fs-$name")
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
    run_row "$fs" "$spec" &
  done
done
wait

passed=0
failed=0
for n in "${names[@]}"; do
  report="$work/$n/report"
  if [ ! -f "$report" ]; then
    echo "FAIL $n: no report"
    failed=$((failed + 1))
    continue
  fi
  # The verdict line first, then its details.
  grep -E '^(PASS|FAIL) ' "$report"
  grep -vE '^(PASS|FAIL) ' "$report"
  if grep -q '^PASS ' "$report"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
echo "powercut: $passed passed, $failed failed ($(($(date +%s) - started)) s)"
[ $failed -eq 0 ] && [ $passed -gt 0 ]
