#!/usr/bin/env bash
# Builds and runs the whole test suite. With --sanitize the suite is built with address and
# undefined-behaviour sanitizers in build-asan.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
if [ "${1:-}" = "--sanitize" ]; then
  dir=build-asan
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVI_SANITIZE=ON >/dev/null
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
else
  dir=build
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$dir" -j"$(nproc)"
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)"
