#!/bin/sh
# Runs every fuzz target of a fuzzing build for a set time:
#   tests/fuzz/run.sh BUILD SECONDS [TARGET...]
# Each target starts from its seed corpus (tests/fuzz/corpus/TARGET) and
# keeps what it finds in BUILD/corpus/TARGET, so the repository's corpus
# only changes by hand. A fault leaves the input that found it in
# BUILD/artifacts/TARGET/ and makes this script fail; such an input belongs
# in tests/fuzz/regress/TARGET once the fault is fixed.
set -e
build=${1:?build folder}
seconds=${2:-60}
shift 2 || shift $#
targets=${*:-"scan_word config soundfile osc"}
here=$(cd "$(dirname "$0")" && pwd)
status=0
for t in $targets; do
    work="$build/corpus/$t"
    art="$build/artifacts/$t"
    mkdir -p "$work" "$art"
    log="$build/fuzz-$t.log"
    echo "fuzz_$t: ${seconds} s" >&2
    # No terminal and no input: nothing a target opens may wait for one.
    if ASAN_OPTIONS=detect_leaks=1 "$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" \
        -timeout=20 -rss_limit_mb=3072 -print_final_stats=1 -artifact_prefix="$art/" \
        "$work" "$here/corpus/$t" </dev/null >"$log" 2>&1; then
        grep -E "^stat::number_of_executed_units|^stat::new_units_added" "$log" | sed "s/^/  /" >&2
    else
        status=1
        echo "fuzz_$t FAILED, see $log:" >&2
        # The whole report, stacks included: a CI log may be all there is.
        sed -n '/^==[0-9]*==.*ERROR/,$p' "$log" | grep -v -E '^(Note:|\[src/)' | head -80 >&2
        grep -E "Test unit written" "$log" | head -5 >&2
    fi
done
exit $status
