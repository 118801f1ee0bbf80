#!/usr/bin/env bash
# Short fuzz run of the .flo reader: builds the libFuzzer target with clang (address and
# undefined-behaviour sanitizers) in build-fuzz and runs it for about 30 seconds on a copy of the
# seed corpus in fuzz/corpus. Any crash, sanitizer report, leak, single allocation above
# MALLOC_LIMIT_MB or resident size above RSS_LIMIT_MB ends the run with a non-zero status; the input
# that caused it is kept in build-fuzz/fuzz-artifacts/.
#
# Needs clang and its libFuzzer runtime (Debian 12: clang-14 libclang-rt-14-dev).
# Environment: MORVI_FUZZ_SECONDS (default 30), MORVI_FUZZ_CXX (default clang++-14 or clang++).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=${MORVI_FUZZ_SECONDS:-30}
# Inputs are at most MAX_LEN bytes and the reader allocates no more than the input holds, so
# anything near the malloc limit is a failed size check.
max_len=65536
malloc_limit_mb=16
rss_limit_mb=1024

cxx=${MORVI_FUZZ_CXX:-}
if [ -z "$cxx" ]; then
  for candidate in clang++-14 clang++; do
    if command -v "$candidate" >/dev/null 2>&1; then
      cxx=$candidate
      break
    fi
  done
fi
if [ -z "$cxx" ]; then
  echo "fuzz-smoke: clang++ not found (install clang-14 and libclang-rt-14-dev)" >&2
  exit 1
fi

dir=$root/build-fuzz
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" \
  -DMORVI_FUZZ=ON -DMORVI_TESTS=OFF >/dev/null
cmake --build "$dir" --target flo_reader_fuzz -j"$(nproc)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$dir/fuzz-artifacts"
cp fuzz/corpus/* "$work/corpus/"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
"$dir/fuzz/flo_reader_fuzz" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
  -malloc_limit_mb="$malloc_limit_mb" -rss_limit_mb="$rss_limit_mb" -print_final_stats=1 \
  -artifact_prefix="$dir/fuzz-artifacts/" "$work/corpus" || status=$?
if [ "$status" -ne 0 ]; then
  echo "fuzz-smoke: the .flo reader fuzzer failed (status $status); inputs kept in $dir/fuzz-artifacts/" >&2
  exit 1
fi
echo "fuzz-smoke: no crash, leak or oversized allocation in ${seconds} s"
