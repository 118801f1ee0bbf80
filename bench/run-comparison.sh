#!/usr/bin/env bash
# One command for the accuracy/speed comparison against OpenCV's dense flow methods on the
# Middlebury and Sintel pairs with ground truth (one run, one thread). Prints a markdown table.
#   bash bench/run-comparison.sh [--only NAME] [--skip-peers]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh libopencv-contrib-dev time
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DMORVI_BENCH=ON -DMORVI_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target morvi compare_peers
./build-bench/compare_peers --morvi build-bench/morvi "$@"
