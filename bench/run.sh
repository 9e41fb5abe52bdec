#!/bin/sh
# Runs the benchmarks of a build folder (default: build).
build=${1:-build}
shift 2>/dev/null
exec "$build/bench/bench_engine" "$@"
