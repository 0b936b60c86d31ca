#!/usr/bin/env bash
# Builds and runs every test of the project:
#   1. native build under AddressSanitizer + UndefinedBehaviorSanitizer, all tests;
#   2. native build under ThreadSanitizer, the tests labelled "concurrency";
#   3. the static ARMv7 build, all tests under qemu-arm-static;
#   4. the fuzz targets of the text-document, XML, INI and zip readers and of the
#      update module's version and boot-image readers and its package walk (clang,
#      libFuzzer), bounded;
#   4b. the static ARMv7 updater in Release (assertions on), with its stripped size;
#   5. the kernel module: Kbuild for amd64 and armhf, and a VM boot that loads it.
# Ends with one line "N passed, N failed" over all of them; exits non-zero when
# anything failed.
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash tools/setup.sh || { echo "setup failed"; exit 1; }

jobs=$(nproc)
out="$top/build"
mkdir -p "$out"
passed=0
failed=0
status=0

# run_suite NAME BUILD_DIR CTEST_ARGS... -- CMAKE_ARGS...
run_suite() {
  local name=$1 dir=$2; shift 2
  local ctest_args=() cmake_args=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  cmake_args=("$@")
  echo "=== $name: configure and build"
  if ! cmake -S "$top" -B "$dir" -G Ninja "${cmake_args[@]}" >"$dir.configure.log" 2>&1; then
    cat "$dir.configure.log"; echo "=== $name: configure FAILED"; failed=$((failed + 1)); status=1; return
  fi
  if ! ninja -C "$dir" >"$dir.build.log" 2>&1; then
    tail -n 60 "$dir.build.log"; echo "=== $name: build FAILED"; failed=$((failed + 1)); status=1; return
  fi
  echo "=== $name: test"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" "${ctest_args[@]}" 2>&1 | tee "$dir.test.log"
  local rc=${PIPESTATUS[0]}
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$dir.test.log" | tail -n 1)
  if [ -n "$line" ]; then
    local f t
    f=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    t=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
    passed=$((passed + t - f)); failed=$((failed + f))
  elif [ "$rc" -ne 0 ]; then
    failed=$((failed + 1))
  fi
  [ "$rc" -eq 0 ] || status=1
}

run_suite "native, ASan+UBSan" "$out/native-asan" -- \
  -DKIVO_SANITIZE=address,undefined
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
run_suite "native, TSan (concurrency)" "$out/native-tsan" -L concurrency --repeat until-fail:3 -- \
  -DKIVO_SANITIZE=thread -DKIVO_TEST_LABEL=concurrency
run_suite "ARMv7 static, qemu-arm-static" "$out/arm" -- \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/arm-linux-gnueabihf.cmake"

echo "=== fuzz: text documents (60 s), XML (30 s), INI (30 s), zip archives (30 s), update records (25 s), package walk (25 s), check scripts (25 s)"
fz="$out/fuzz"
if cmake -S "$top" -B "$fz" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
     -DKIVO_FUZZ=ON >"$fz.configure.log" 2>&1 &&
   ninja -C "$fz" fuzz_document fuzz_xml fuzz_ini fuzz_zip fuzz_update fuzz_walk fuzz_check >"$fz.run.log" 2>&1; then
  tail -n 3 "$fz.run.log"; passed=$((passed + 1))
else
  tail -n 60 "$fz.configure.log" "$fz.run.log" 2>/dev/null; echo "=== fuzz: FAILED"; failed=$((failed + 1)); status=1
fi

echo "=== ARMv7 static updater, Release"
ar="$out/arm-release"
if cmake -S "$top" -B "$ar" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/arm-linux-gnueabihf.cmake" \
     -DCMAKE_BUILD_TYPE=Release >"$ar.configure.log" 2>&1 &&
   ninja -C "$ar" updater >"$ar.build.log" 2>&1 &&
   arm-linux-gnueabihf-strip -o "$ar/updater.stripped" "$ar/app/updater" >>"$ar.build.log" 2>&1; then
  echo "updater (Release, stripped): $(stat -c %s "$ar/updater.stripped") bytes"; passed=$((passed + 1))
else
  tail -n 60 "$ar.configure.log" "$ar.build.log" 2>/dev/null; echo "=== ARM Release: FAILED"; failed=$((failed + 1)); status=1
fi

if [ -x tools/kernel-check.sh ]; then
  echo "=== kernel module"
  if tools/kernel-check.sh; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi
fi

echo
echo "$passed passed, $failed failed"
exit $status
