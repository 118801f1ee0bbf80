#!/usr/bin/env bash
# One command for the accuracy/speed comparison against OpenCV's dense flow methods on the
# Middlebury and Sintel pairs with ground truth, morvi and DeepFlow at one and at two threads (one
# run). Prints a markdown table, the full-resolution sweep's nanoseconds per pixel, then the
# occlusion masks on the Sintel pairs beside DeepFlow's and DIS's forward-backward masks.
#   bash bench/run-comparison.sh [--only NAME] [--skip-peers] [--threads N]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh libopencv-contrib-dev time
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DMORVI_BENCH=ON -DMORVI_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target morvi compare_peers bench_solver occlusion_peers
./build-bench/compare_peers --morvi build-bench/morvi "$@"
echo
echo "Relaxation sweep and operator at full resolution (Urban2 640x480):"
./build-bench/bench_solver --sweep-only | grep "full-resolution"
echo
./build-bench/occlusion_peers --morvi build-bench/morvi
