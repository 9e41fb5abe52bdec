#!/bin/sh
# bench/plot.sh on a made-up benchmark result: only BM_cycle entries count,
# their parameters come from the names (in any order, extra keys ignored),
# repetitions are averaged, aggregates and other benchmarks left out. With
# gnuplot installed the picture is drawn too.
# Usage: check-plot.sh <source folder>
set -u
src=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/tess-plot-XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT

cat >"$work/results.json" <<'JSON'
{
  "context": {
    "date": "2026-12-09T12:00:00+00:00",
    "num_cpus": 2
  },
  "benchmarks": [
    {
      "name": "BM_cycle/ninp:8/nout:8/maxlen:4096/period:1024/nthread:1/min_time:0.500/real_time",
      "run_type": "iteration",
      "real_time": 100.0,
      "ir_GBps": 1.0e+10,
      "rt48k": 4.0e+01
    },
    {
      "name": "BM_cycle/ninp:8/nout:8/maxlen:4096/period:1024/nthread:1/min_time:0.500/real_time",
      "run_type": "iteration",
      "rt48k": 6.0e+01
    },
    {
      "name": "BM_cycle/ninp:8/nout:8/maxlen:4096/period:1024/nthread:1/min_time:0.500/real_time_mean",
      "run_type": "aggregate",
      "rt48k": 9.9e+02
    },
    {
      "name": "BM_floor/ninp:8/nout:8/maxlen:4096/period:1024/nthread:1",
      "run_type": "iteration",
      "rt48k": 7.7e+02
    },
    {
      "name": "BM_cycle/nthread:2/period:256/maxlen:2048/nout:4/ninp:2/shape:wide/real_time",
      "run_type": "iteration",
      "rt48k": 1.5e+00
    }
  ]
}
JSON

if ! PLOT_DATA_ONLY=1 "$src/bench/plot.sh" "$work" "$work/results.json" 2>"$work/err"; then
    cat "$work/err" >&2
    echo "FAIL: plot.sh" >&2
    exit 1
fi
printf '8 8 4096 1024 1 50\n2 4 2048 256 2 1.5\n' >"$work/expected"
if ! cmp -s "$work/expected" "$work/bench/rt-factor.dat"; then
    echo "FAIL: rt-factor.dat (< expected, > made):" >&2
    diff "$work/expected" "$work/bench/rt-factor.dat" >&2
    exit 1
fi

if ! command -v gnuplot >/dev/null 2>&1; then
    echo "gnuplot is not installed: the data is right, nothing drawn" >&2
    exit 0
fi
if ! PLOT_OUT=$work/rt.png "$src/bench/plot.sh" "$work" "$work/results.json" 2>"$work/err"; then
    cat "$work/err" >&2
    echo "FAIL: plot.sh drawing" >&2
    exit 1
fi
if [ "$(head -c 4 "$work/rt.png" | od -An -c | tr -d ' ')" != '211PNG' ]; then
    echo "FAIL: $work/rt.png is not a PNG file" >&2
    exit 1
fi
