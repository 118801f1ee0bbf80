#!/usr/bin/env bash
# One command for the accuracy/speed comparison against OpenCV's dense flow methods on the
# Middlebury and Sintel pairs with ground truth: morvi with both solvers and the three initial
# flows (pyramid, matches, fused) and DeepFlow, each at one and at two threads (one run), then time and peak memory at 640x480 and
# on Urban2 upscaled to 1920x1080. Prints markdown tables, the time of each stage of the estimate
# for both solvers, the full-resolution sweep's nanoseconds per pixel, then the occlusion masks on
# the Sintel pairs beside DeepFlow's and DIS's forward-backward masks, then the confidence maps'
# AUSE on every pair beside DeepFlow's and DIS's forward-backward distances (for each solver).
#   bash bench/run-comparison.sh [--only NAME] [--skip-peers] [--threads N] [--solver reference|fast]
# With --only the sweep timing and the occlusion masks are left out, and the confidence maps are
# scored on that pair alone.
set -euo pipefail
cd "$(dirname "$0")/.."

only=()
solvers=(reference fast)
threads=2
args=("$@")
while [ $# -gt 0 ]; do
  case "$1" in
    --only) only=(--only "$2"); shift ;;
    --solver) solvers=("$2"); shift ;;
    --threads) threads="$2"; shift ;;
  esac
  shift
done

bash scripts/setup.sh libopencv-contrib-dev time
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DMORVI_BENCH=ON -DMORVI_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target morvi compare_peers bench_stages bench_solver occlusion_peers \
  confidence_peers
./build-bench/compare_peers --morvi build-bench/morvi "${args[@]}"
for solver in "${solvers[@]}"; do
  echo
  echo "Stages of the estimate, --solver $solver, $threads threads (Middlebury, seconds per stage):"
  ./build-bench/bench_stages --solver "$solver" --threads "$threads" "${only[@]}"
done
for solver in "${solvers[@]}"; do
  echo
  ./build-bench/confidence_peers --morvi build-bench/morvi --solver "$solver" --threads "$threads" "${only[@]}"
done
if [ ${#only[@]} -gt 0 ]; then exit 0; fi
echo
echo "Relaxation sweep and operator at full resolution (Urban2 640x480):"
./build-bench/bench_solver --sweep-only | grep "full-resolution"
echo
./build-bench/occlusion_peers --morvi build-bench/morvi
