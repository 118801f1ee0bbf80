#!/usr/bin/env bash
# Builds morvi and runs it on the bundled RubberWhale pair (from Debian's opencv-doc package).
# Frames go to build/frames, results to build/results.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target morvi morvi-eval

examples=/usr/share/doc/opencv-doc/examples/data
mkdir -p build/frames build/results
for i in 1 2; do
  source="$examples/rubberwhale$i.png"
  [ -f "$source.gz" ] && [ ! -f "$source" ] && { gunzip -c "$source.gz" > "build/frames/rubberwhale$i.png"; continue; }
  [ -f "$source" ] || { echo "missing $source (package opencv-doc)" >&2; exit 1; }
  cp "$source" build/frames/
done

./build/morvi --seed 1 build/frames .png 8 build/results
echo "Results in build/results:"
ls -l build/results
