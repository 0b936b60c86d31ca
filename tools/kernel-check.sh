#!/usr/bin/env bash
# Checks the kernel module pellix against real kernels:
#   1. Kbuild against Debian's amd64 headers and against its armhf (armmp)
#      headers, with W=1; any warning fails;
#   2. the amd64 module loaded in a VM on 2 processors
#      (tests/driver/pellix/vm/run-vm.sh): its device and control codes, the
#      bound of one transfer, and threads opening, using and closing it at
#      once, with no Oops, BUG or WARNING on the console. The VM has no
#      engine behind the register window: transfers are checked against the
#      simulated one (tests/driver/pellix);
#   3. power cuts during installs of the updater in a VM
#      (tests/app/powercut/run-powercut.sh): a static native Release build
#      of the program, its power cut (sysrq "b") at a table of output lines
#      on ext4 with and without a journal, then e2fsck and a rerun that must
#      leave the board of an uninterrupted install.
# Every step is bounded in time (builds: BUILD_TIMEOUT, default 300 s; the
# VM: VM_TIMEOUT, default 180 s; the power cuts: POWERCUT_TIMEOUT, default
# 600 s, each of their boots VM_TIMEOUT).
# Build outputs go to build-kernel/ (the module is built from a copy of
# driver/pellix). Needs what tools/setup.sh (tools/setup-kernel.sh) fetched.
# Ends with "kernel-check: PASS" or "kernel-check: FAIL (...)", and exits
# non-zero on failure.
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
out="$top/build-kernel"
cache="$top/.cache/kernel"
started=$(date +%s)

fail() {
  echo "kernel-check: FAIL ($*)"
  exit 1
}

ready=("$cache"/.ready-*)
[ -e "${ready[0]}" ] || fail "no kernel packages in $cache; run tools/setup.sh"
abi=${ready[0]##*/.ready-}
amd64_headers="/usr/src/linux-headers-$abi-amd64"
armhf_headers="$cache/armhf-root/usr/src/linux-headers-$abi-armmp"
[ -d "$amd64_headers" ] || fail "missing $amd64_headers"
[ -d "$armhf_headers" ] || fail "missing $armhf_headers"

# build NAME HEADERS [MAKE ARGS...]: the module from a fresh copy of the sources.
build() {
  local name=$1 headers=$2
  shift 2
  local dir="$out/$name"
  rm -rf "$dir" && mkdir -p "$dir"
  cp "$top"/driver/pellix/{pellix.c,pellix.h,Kbuild} "$dir"/
  echo "=== pellix: Kbuild for $name ($abi)"
  if ! timeout -k 10 "${BUILD_TIMEOUT:-300}" \
       make -C "$headers" M="$dir" W=1 "$@" modules >"$dir/build.log" 2>&1; then
    cat "$dir/build.log"
    fail "$name build"
  fi
  if grep -qi 'warning' "$dir/build.log"; then
    grep -i -B2 -A4 'warning' "$dir/build.log"
    fail "$name build has warnings"
  fi
  [ -f "$dir/pellix.ko" ] || fail "$name build made no pellix.ko"
  tr '\0' '\n' <"$dir/pellix.ko" | grep -E '^(vermagic|version)=' | sed 's/^/    /'
}

build amd64 "$amd64_headers"
build armhf "$armhf_headers" ARCH=arm CROSS_COMPILE=arm-linux-gnueabihf-

echo "=== pellix: VM test (amd64, qemu)"
VM_TIMEOUT=${VM_TIMEOUT:-180} \
  bash "$top/tests/driver/pellix/vm/run-vm.sh" "$out/amd64/pellix.ko" "$out/vm" ||
  fail "VM test"

echo "=== updater: power cuts in a VM (amd64, qemu)"
# Static, so that the VM's initramfs needs no libraries.
static="$out/updater-static"
if ! { cmake -S "$top" -B "$static" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXE_LINKER_FLAGS=-static \
         -DKIVO_DEPS_CACHE="$top/.cache" &&
       timeout -k 10 "${BUILD_TIMEOUT:-300}" ninja -C "$static" -j4 updater; } >"$out/updater-static.log" 2>&1; then
  tail -n 40 "$out/updater-static.log"
  fail "static updater build"
fi
timeout -k 10 "${POWERCUT_TIMEOUT:-600}" \
  bash "$top/tests/app/powercut/run-powercut.sh" "$static/app/updater" "$out/powercut" ||
  fail "power cuts"

echo "kernel-check: PASS ($(($(date +%s) - started)) s)"
