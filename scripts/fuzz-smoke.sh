#!/usr/bin/env bash
# Short fuzz run of the flow readers: builds the libFuzzer targets with clang (address and
# undefined-behaviour sanitizers) in build-fuzz and runs each for about 15 seconds on a copy of its
# seed corpus (fuzz/corpus for .flo, fuzz/kitti_corpus for KITTI flow PNG). Any crash, sanitizer report, leak, single allocation above
# MALLOC_LIMIT_MB or resident size above RSS_LIMIT_MB ends the run with a non-zero status; the input
# that caused it is kept in build-fuzz/fuzz-artifacts/.
#
# Needs clang and its libFuzzer runtime (Debian 12: clang-14 libclang-rt-14-dev).
# Environment: MORVI_FUZZ_SECONDS (default 30, shared between the targets), MORVI_FUZZ_CXX (default
# clang++-14 or clang++).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=${MORVI_FUZZ_SECONDS:-30}
per_target=$(( (seconds + 1) / 2 ))
# Inputs are at most MAX_LEN bytes and the .flo reader allocates no more than the input holds, so
# anything near the malloc limit is a failed size check. A PNG may inflate about 1000-fold, so its
# inputs are kept short enough that the largest image they can hold stays under the limit.
max_len=65536
kitti_max_len=4096
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
cmake --build "$dir" --target flo_reader_fuzz kitti_flow_fuzz -j"$(nproc)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$dir/fuzz-artifacts"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# run_target NAME CORPUS MAX_LEN DESCRIPTION. The PNG decoder reports every corrupt input it meets
# on standard error; those expected lines are dropped so that the fuzzer's own report stays legible.
run_target() {
  local name=$1 corpus=$2 length=$3 what=$4 status=0
  mkdir -p "$work/$name"
  cp "$corpus"/* "$work/$name/"
  "$dir/fuzz/$name" -max_total_time="$per_target" -max_len="$length" -timeout=10 \
    -malloc_limit_mb="$malloc_limit_mb" -rss_limit_mb="$rss_limit_mb" -print_final_stats=1 \
    -artifact_prefix="$dir/fuzz-artifacts/" "$work/$name" 2> >(grep -Ev '^libpng (error|warning): ' >&2) || status=$?
  if [ "$status" -ne 0 ]; then
    echo "fuzz-smoke: the $what fuzzer failed (status $status); inputs kept in $dir/fuzz-artifacts/" >&2
    exit 1
  fi
}

run_target flo_reader_fuzz fuzz/corpus "$max_len" ".flo reader"
run_target kitti_flow_fuzz fuzz/kitti_corpus "$kitti_max_len" "KITTI flow PNG reader"
echo "fuzz-smoke: no crash, leak or oversized allocation in ${per_target} s per reader"
