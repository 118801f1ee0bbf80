#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds tests/consumer against it (CMake package and
# pkg-config file), and checks that its flow for a frame pair equals, byte for byte, the .flo the
# morvi program writes for the same pair and seed.
# Usage: run_consumer_test.sh SOURCE_DIR BUILD_DIR FIRST_FRAME SECOND_FRAME
set -euo pipefail
source_dir=$1
build_dir=$2
first=$3
second=$4
seed=5

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
cmake -S "$source_dir/tests/consumer" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" \
  >/dev/null
cmake --build "$work/build" >/dev/null

# The same program through the pkg-config file.
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
c++ -o "$work/flow_of_pair_pc" "$source_dir/tests/consumer/flow_of_pair.cpp" $(pkg-config --cflags --libs morvi)
status=0
"$work/flow_of_pair_pc" >/dev/null 2>&1 || status=$?
if [ "$status" -ne 2 ]; then
  echo "the pkg-config build did not run (status $status)" >&2
  exit 1
fi

mkdir "$work/frames"
cp "$first" "$work/frames/pair1.png"
cp "$second" "$work/frames/pair2.png"
"$prefix/bin/morvi" --seed "$seed" "$work/frames" >/dev/null
"$work/build/flow_of_pair" "$work/frames/pair1.png" "$work/frames/pair2.png" "$work/consumer.flo" "$seed"
cmp "$work/frames/pair1_morvi.flo" "$work/consumer.flo"
echo "the consumer's flow equals the program's"
