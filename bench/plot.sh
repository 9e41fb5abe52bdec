#!/bin/sh
# Runs the cycle benchmarks and draws their realtime factor against the
# matrix size and against the period, as a PNG.
#
# Usage: bench/plot.sh [build folder] [results.json]
#   build folder   default build; bench/bench_engine must be built in it
#   results.json   draw earlier results (--benchmark_format=json output)
#                  instead of running the benchmarks
# The picture goes to docs/img/rt-factor.png, or to $PLOT_OUT if set; the
# data it was drawn from to <build>/bench/rt-factor.dat (one line per
# configuration: ninp nout maxlen period nthread rt48k). With PLOT_DATA_ONLY=1
# the script stops after writing the data.
#
# Only benchmarks named BM_cycle/... count; ninp, nout, maxlen, period and
# nthread are read from their names, so any set of configurations will do.
# Needs gnuplot (gnuplot-nox), which it installs through
# scripts/install-deps.sh when missing.
set -e
here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
build=${1:-build}
json=$2
out=${PLOT_OUT:-$top/docs/img/rt-factor.png}

if [ -z "$json" ]; then
    bench=$build/bench/bench_engine
    if [ ! -x "$bench" ]; then
        echo "plot.sh: $bench is not built (make build)" >&2
        exit 1
    fi
    json=$build/bench/bench.json
    echo "Running the benchmarks (results in $json) ..." >&2
    "$bench" --benchmark_filter='^BM_cycle/' --benchmark_out="$json" \
        --benchmark_out_format=json >&2
fi
mkdir -p "$build/bench"
dat=$build/bench/rt-factor.dat

# One line per configuration: ninp nout maxlen period nthread rt48k, the
# mean over repetitions; aggregate entries (_mean, _median, ...) are left
# out. The JSON is read line by line: Google Benchmark writes "name" before
# the counters of each entry.
awk '
/"name":/ {
    name = $0
    sub(/.*"name": *"/, "", name); sub(/".*/, "", name)
    keep = (name ~ /^BM_cycle\//) && (name !~ /_(mean|median|stddev|cv)$/)
    next
}
keep && /"rt48k":/ {
    v = $0
    sub(/.*"rt48k": */, "", v); sub(/,.*/, "", v)
    n = split(name, part, "/")
    split("", val)
    for (k = 2; k <= n; k++) {
        split(part[k], kv, ":")
        if (kv[1] == "ninp" || kv[1] == "nout" || kv[1] == "maxlen" ||
            kv[1] == "period" || kv[1] == "nthread") val[kv[1]] = kv[2]
    }
    key = val["ninp"] " " val["nout"] " " val["maxlen"] " " val["period"] " " val["nthread"]
    if (!(key in sum)) order[++count] = key
    sum[key] += v; num[key]++
    keep = 0
}
END {
    for (k = 1; k <= count; k++) print order[k], sum[order[k]] / num[order[k]]
}' "$json" > "$dat"

if [ ! -s "$dat" ]; then
    echo "plot.sh: no BM_cycle results in $json" >&2
    exit 1
fi

# Groups for the two panels, as gnuplot data blocks separated by two blank
# lines, with their titles in a gnuplot array:
#   by size:   one line per (period, maxlen, nthread), x = ninp * nout
#   by period: one line per (ninp x nout, maxlen, nthread), x = period
group() {   # $1: awk expression for the key, $2: for the title, $3: array name,
            # $4: output file; the rest: sort keys (groups in that order)
    key=$1 name=$2 arr=$3 file=$4
    shift 4
    sort "$@" "$dat" | awk -v arr="$arr" -v titles="$file.gp" '
    { key = ('"$key"'); line[key] = line[key] $0 "\n"; title[key] = ('"$name"')
      if (!(key in seen)) { seen[key] = 1; keys[++n] = key } }
    END {
        for (k = 1; k <= n; k++) printf "%s\n\n", line[keys[k]]
        printf "array %s[%d]\n", arr, n > titles
        for (k = 1; k <= n; k++) printf "%s[%d] = \"%s\"\n", arr, k, title[keys[k]] > titles
    }' > "$file"
}
bysize=$build/bench/rt-by-size.dat
byperiod=$build/bench/rt-by-period.dat
group '$4 " " $3 " " $5' '"period " $4 ", maxlen " $3 ", " $5 " thread" ($5 > 1 ? "s" : "")' S "$bysize" \
    -k4,4n -k3,3n -k5,5n -k1,1n -k2,2n
group '$1 "x" $2 " " $3 " " $5' '$1 "x" $2 ", maxlen " $3 ", " $5 " thread" ($5 > 1 ? "s" : "")' P "$byperiod" \
    -k1,1n -k2,2n -k3,3n -k5,5n -k4,4n
[ "${PLOT_DATA_ONLY:-0}" = 1 ] && exit 0
if ! command -v gnuplot >/dev/null 2>&1; then
    "$top/scripts/install-deps.sh" gnuplot-nox
fi

cpu=$(grep -m1 'model name' /proc/cpuinfo 2>/dev/null | sed 's/.*: *//; s/  */ /g')
cores=$(nproc 2>/dev/null || echo '?')

gnuplot <<GP
set terminal pngcairo size 1200,640 font "sans,11" noenhanced
set output "$out"
load "$bysize.gp"
load "$byperiod.gp"
set multiplot layout 1,2 title "tess: realtime factor at 48 kHz (seconds of audio per second of compute; above 1 keeps up)\n$cpu, $cores cores"
set logscale y
set grid ytics mytics xtics
set ylabel "realtime factor (rt48k)"
set key outside bottom center horizontal maxcols 2 font ",10"
set offsets graph 0.06, graph 0.06, 0, 0
set style data linespoints
set arrow 1 from graph 0, first 1 to graph 1, first 1 nohead dt 2 lc rgb "red"

set title "against matrix size"
set xlabel "inputs x outputs"
set logscale x 2
plot for [i=1:|S|] "$bysize" index (i-1) using (\$1*\$2):6:xtic(sprintf("%dx%d", \$1, \$2)) \
     title S[i] lw 2 pt 7

set title "against period"
set xlabel "period (frames)"
set logscale x 2
plot for [i=1:|P|] "$byperiod" index (i-1) using 4:6:xtic(4) title P[i] lw 2 pt 7
unset multiplot
GP
echo "Wrote $out" >&2
