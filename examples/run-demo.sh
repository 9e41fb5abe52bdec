#!/bin/sh
# Runs tessfile on the demo: a two-way stereo crossover (2 inputs, 4
# outputs). The data is made by make_examples into examples/out/.
# Usage: examples/run-demo.sh [build folder]   (default: build)
set -e
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
case $build in
    /*) ;;
    *) build=$(pwd)/$build ;;
esac
tessfile=$build/programs/offline/tessfile
generator=$build/examples/make_examples
if [ ! -x "$tessfile" ] || [ ! -x "$generator" ]; then
    cmake --build "$build" --target tessfile make_examples -j 2 >&2
fi

out=$here/out
mkdir -p "$out"
"$generator" "$out"

echo "Configuration ($out/crossover.conf):"
sed 's/^/    /' "$out/crossover.conf"
echo
echo "Running: tessfile crossover.conf input.wav output.wav"
status=0
"$tessfile" "$out/crossover.conf" "$out/input.wav" "$out/output.wav" || status=$?
if [ $status -ne 0 ]; then
    echo "tessfile failed with status $status" >&2
    exit $status
fi
echo
echo "Input:  $out/input.wav (2 channels: a sweep on the left, noise bursts on the right)"
echo "Output: $out/output.wav (4 channels: left woofer, left tweeter, right woofer, right tweeter)"
