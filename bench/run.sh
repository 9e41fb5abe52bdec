#!/bin/sh
# Runs the benchmarks of a build folder (default: build). The measuring
# thread runs with realtime scheduling where that is permitted, as a JACK
# process thread would, so that other work on a shared machine disturbs
# the figures less; otherwise with normal scheduling.
build=${1:-build}
shift 2>/dev/null
if chrt -f 10 true 2>/dev/null; then
    exec chrt -f 10 "$build/bench/bench_engine" "$@"
fi
exec "$build/bench/bench_engine" "$@"
