#!/usr/bin/env bash
# Builds the native framework and runs its test programs: the program's main
# job for as long as the updater itself is not assembled.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash tools/setup.sh
cmake -S "$top" -B "$top/build/native" -G Ninja >/dev/null
ninja -C "$top/build/native"
ctest --test-dir "$top/build/native" -j "$(nproc)" --output-on-failure
