#!/usr/bin/env bash
# Installs what the builds need on a Debian 12 machine, from Debian's packages
# only, and prepares the build cache (.cache/): the minizip sources out of
# Debian's zlib source package and an armhf sysroot for the device build.
# Safe to run again: whatever is already there is kept.
#
#   tools/setup.sh            everything the tests need (tools/test-all.sh):
#                             the native, ARM and fuzz builds, qemu, and the
#                             kernel module's headers and VM (setup-kernel.sh)
#   tools/setup.sh --updater  only the native build of the updater and the
#                             sample packer (tools/run.sh)
set -euo pipefail

scope=all
case "${1:-}" in
  "") ;;
  --updater) scope=updater ;;
  *) echo "usage: tools/setup.sh [--updater]" >&2; exit 2 ;;
esac

top=$(cd "$(dirname "$0")/.." && pwd)
cache="$top/.cache"
mkdir -p "$cache"

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

# The native updater build (googletest too: the build configures the tests)
# and the sample packer (python3, Info-ZIP zip).
host_packages=(
  build-essential cmake ninja-build pkg-config git ca-certificates
  zlib1g-dev liblua5.3-dev googletest libgtest-dev
  dpkg-dev patch bzip2 xz-utils zip python3
)
# Only the tests: the device build under qemu, the fuzz targets, the tools
# the tests compare with or pack with.
test_packages=(
  g++-arm-linux-gnueabihf qemu-user-static
  unzip
  clang libclang-rt-14-dev
  p7zip-full libarchive-tools
)
wanted=("${host_packages[@]}")
[ "$scope" = updater ] || wanted+=("${test_packages[@]}")

missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Private apt lists: deb-src entries and the armhf architecture are known only
# to our own calls, the machine's apt configuration stays as it is.
apt_dir="$cache/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/sources.list.d"
# "updated": lists of amd64, armhf and the sources; "updated-src": amd64 and
# the sources only, all that --updater needs (the armhf lists are large).
APT=(-o "Dir::Etc::SourceList=/dev/null"
     -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
     -o "Dir::State::Lists=$apt_dir/lists"
     -o "APT::Architectures::=amd64")
stamp="$apt_dir/updated-src"
if [ "$scope" = all ]; then
  APT+=(-o "APT::Architectures::=armhf")
  stamp="$apt_dir/updated"
fi
apt_private_update() {
  if [ ! -f "$stamp" ] && [ ! -f "$apt_dir/updated" ]; then
    rm -f "$apt_dir/sources.list.d/"*
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      sed -e 's/^Types: deb$/Types: deb deb-src/' /etc/apt/sources.list.d/debian.sources \
        > "$apt_dir/sources.list.d/debian.sources"
    fi
    if [ -f /etc/apt/sources.list ]; then
      grep -E '^deb ' /etc/apt/sources.list | sed -e 'p' -e 's/^deb /deb-src /' \
        > "$apt_dir/sources.list.d/debian.list" || true
    fi
    apt-get "${APT[@]}" update -q
    touch "$stamp"
  fi
}
export -f apt_private_update 2>/dev/null || true

# minizip from zlib's contributed sources, with decryption enabled.
mz="$cache/minizip-src"
if [ ! -f "$mz/.ready" ]; then
  apt_private_update
  work="$cache/zlib-source"
  rm -rf "$work" && mkdir -p "$work"
  (cd "$work" && apt-get "${APT[@]}" source --download-only 'zlib=1:1.2.13.dfsg-1' >/dev/null)
  orig=$(ls "$work"/zlib_*.orig.tar.* | head -n 1)
  tar -C "$work" -xf "$orig"
  src=$(ls -d "$work"/zlib-*/ | head -n 1)
  rm -rf "$mz" && mkdir -p "$mz"
  cp "$src"/contrib/minizip/{ioapi.c,ioapi.h,unzip.c,unzip.h,zip.c,zip.h,crypt.h} "$mz"/
  # The contributed unzip.c always defines NOUNCRYPT; packages are encrypted.
  perl -0pi -e 's/#ifndef NOUNCRYPT\n\s*#define NOUNCRYPT\n#endif\n//' "$mz/unzip.c"
  grep -q 'define NOUNCRYPT' "$mz/unzip.c" && { echo "setup: could not enable decryption in unzip.c" >&2; exit 1; }
  touch "$mz/.ready"
fi

if [ "$scope" = updater ]; then
  echo "setup: ready (the updater's native build)"
  exit 0
fi

# armhf sysroot for the static device build: Debian's armhf zlib and Lua.
sysroot="$cache/sysroot-armhf"
if [ ! -f "$sysroot/.ready" ]; then
  apt_private_update
  debs="$cache/debs-armhf"
  rm -rf "$debs" "$sysroot" && mkdir -p "$debs" "$sysroot"
  (cd "$debs" && apt-get "${APT[@]}" download zlib1g-dev:armhf zlib1g:armhf liblua5.3-dev:armhf liblua5.3-0:armhf >/dev/null)
  for d in "$debs"/*.deb; do dpkg-deb -x "$d" "$sysroot"; done
  test -f "$sysroot/usr/lib/arm-linux-gnueabihf/liblua5.3-c++.a"
  test -f "$sysroot/usr/lib/arm-linux-gnueabihf/libz.a"
  touch "$sysroot/.ready"
fi

# The kernel module's own needs (headers, VM image) live with it.
if [ -x "$top/tools/setup-kernel.sh" ]; then
  APT_PRIVATE_DIR="$apt_dir" "$top/tools/setup-kernel.sh"
fi

echo "setup: ready"
