#!/usr/bin/env bash
# Installs and fetches what the kernel module's real builds and its VM test
# need, from Debian's packages only:
#   - host: linux-headers-amd64 (with its kbuild tools) and qemu-system-x86;
#   - .cache/kernel/armhf-root: the armhf armmp headers and their -common
#     package, unpacked (the host's kbuild tools serve them);
#   - .cache/kernel/image: the kernel image that linux-image-amd64 stands for,
#     unpacked, never installed;
#   - .cache/kernel/busybox: busybox-static for the VM's initramfs.
# The ABI of all three follows the installed amd64 headers, so the VM kernel
# and the module's vermagic agree. Safe to run again: a finished fetch for the
# same ABI is kept.
#
# APT_PRIVATE_DIR names private apt lists (amd64 + armhf, already updated);
# tools/setup.sh sets it. The machine's apt configuration is not touched.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
cache="$top/.cache/kernel"
apt_dir=${APT_PRIVATE_DIR:-$top/.cache/apt}

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

is_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

missing=()
for p in linux-headers-amd64 qemu-system-x86; do
  is_installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup-kernel: installing ${missing[*]}"
  if ! DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"; then
    $SUDO apt-get update -q
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
fi

# The ABI (e.g. 6.1.0-57) from the headers meta package's dependency.
abi=$(dpkg-query -W -f='${Depends}' linux-headers-amd64 |
      sed -n 's/.*linux-headers-\([0-9][0-9.]*-[0-9][0-9]*\)-amd64.*/\1/p')
if [ -z "$abi" ] || [ ! -d "/usr/src/linux-headers-$abi-amd64" ]; then
  echo "setup-kernel: cannot tell the ABI of the installed amd64 headers" >&2
  exit 1
fi
kbuild=$(readlink -f "/usr/src/linux-headers-$abi-amd64/scripts" | sed 's,/scripts$,,')

ready="$cache/.ready-$abi"
if [ -f "$ready" ]; then
  echo "setup-kernel: kernel $abi ready"
  exit 0
fi

if [ ! -d "$apt_dir/lists" ]; then
  echo "setup-kernel: no private apt lists in $apt_dir (run tools/setup.sh)" >&2
  exit 1
fi
APT=(-o "Dir::Etc::SourceList=/dev/null"
     -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
     -o "Dir::State::Lists=$apt_dir/lists"
     -o "APT::Architectures::=amd64" -o "APT::Architectures::=armhf")

rm -rf "$cache"
debs="$cache/debs"
mkdir -p "$debs"
if ! (cd "$debs" && apt-get "${APT[@]}" download \
       "linux-headers-$abi-armmp:armhf" "linux-headers-$abi-common" \
       "linux-image-$abi-amd64:amd64" "busybox-static:amd64" >/dev/null); then
  echo "setup-kernel: cannot download the $abi packages; are the private lists" \
       "in $apt_dir as new as the installed headers?" >&2
  exit 1
fi

unpack() { # unpack DIR PATTERN
  local d
  for d in "$debs"/$2; do dpkg-deb -x "$d" "$1"; done
}
unpack "$cache/armhf-root" "linux-headers-*.deb"
unpack "$cache/image" "linux-image-*.deb"
# Only the kernel itself boots the VM; its modules are not needed.
rm -rf "$cache/image/lib" "$cache/image/usr"
unpack "$cache/busybox" "busybox-static_*.deb"

# The armhf headers reach their kbuild tools through a relative link into
# usr/lib; the host's (amd64) tools stand in for them.
mkdir -p "$cache/armhf-root/usr/lib"
ln -sfn "$kbuild" "$cache/armhf-root/usr/lib/$(basename "$kbuild")"

test -f "$cache/armhf-root/usr/src/linux-headers-$abi-armmp/Makefile"
test -f "$cache/image/boot/vmlinuz-$abi-amd64"
test -x "$cache/busybox/bin/busybox"
rm -rf "$debs"
touch "$ready"
echo "setup-kernel: kernel $abi ready"
