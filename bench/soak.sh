#!/bin/sh
# Soak test of tesslive (not part of the test suite): for each period, a
# private JACK server on the dummy backend (48 kHz, asynchronous, realtime
# when run as root), and tesslive on it with square matrices of growing
# size, each for a set time. soakmon counts the xruns the server announces
# and samples the DSP load JACK reports. At the end, per period, the
# largest matrix that ran without a single xrun, and the largest whose
# average DSP load stayed below 80% without a storm of xruns (on a machine
# whose timing is noisy the server alone may see xruns; its own count is
# printed first, as "none"). The scan of a period ends after two sizes in a
# row at saturation.
#
#   bench/soak.sh [BUILD] [SECONDS]
#   environment: PERIODS ("64 128"), SIZES ("1 2 4 8 16 24 32 48 64"),
#                MAXLEN (4096), THREADS (number of processors),
#                PARTITIONS (uniform, or mixed)
#
# Takes the same lock as the JACK tests, so it never runs a server beside
# them. Do not run it while building: the figures are timings.
set -e
build=${1:-build}
seconds=${2:-10}
periods=${PERIODS:-"64 128"}
sizes=${SIZES:-"1 2 4 8 16 24 32 48 64"}
maxlen=${MAXLEN:-4096}
threads=${THREADS:-$(nproc)}
partitions=${PARTITIONS:-uniform}
[ "$threads" -gt 16 ] && threads=16

tesslive=$build/programs/realtime/tesslive
[ -x "$tesslive" ] || { echo "soak: no $tesslive; build first" >&2; exit 1; }
tmp=$(mktemp -d)
server="tess-soak-$(id -u)"
jackd_pid=
live_pid=
cleanup() {
    [ -n "$live_pid" ] && kill -KILL "$live_pid" 2>/dev/null || true
    [ -n "$jackd_pid" ] && kill -TERM "$jackd_pid" 2>/dev/null && wait "$jackd_pid" 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT INT TERM

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck disable=SC2046
c++ -O2 -o "$tmp/soakmon" "$here/soakmon.cc" $(pkg-config --cflags --libs jack)

exec 9>/tmp/tess-realtime-tests.lock
flock 9

rt=-r
[ "$(id -u)" -eq 0 ] && rt=-R

# Waits until the port $1 exists on the server (at most 10 s).
wait_port() {
    i=0
    while [ $i -lt 100 ]; do
        jack_lsp -s "$server" 2>/dev/null | grep -qx "$1" && return 0
        sleep 0.1
        i=$((i + 1))
    done
    return 1
}

printf "%-7s %-8s %-8s %-7s %-9s %-9s %s\n" period matrix threads xruns load_avg load_max late_waits
summary=
for p in $periods; do
    JACK_NO_AUDIO_RESERVATION=1 jackd $rt -n "$server" -d dummy -r 48000 -p "$p" \
        >"$tmp/jackd.log" 2>&1 &
    jackd_pid=$!
    i=0
    until jack_lsp -s "$server" >/dev/null 2>&1; do
        i=$((i + 1))
        if [ $i -gt 150 ]; then
            echo "soak: jackd did not start:" >&2
            cat "$tmp/jackd.log" >&2
            exit 1
        fi
        sleep 0.1
    done
    # The server alone: xruns of the backend's own timing, for comparison.
    set -- $(timeout $((seconds + 30)) "$tmp/soakmon" "$server" "$seconds")
    printf "%-7s %-8s %-8s %-7s %-9s %-9s\n" "$p" "none" "-" "$2" "$4" "$6"
    base_xruns=$2
    best=none
    under80=none
    fails=0
    for n in $sizes; do
        printf '/convolver/partitions %s\n/convolver/new %d %d %d %d\n' "$partitions" "$n" "$n" \
            "$maxlen" "$threads" >"$tmp/soak.conf"
        "$tesslive" -s "$server" -N soak "$tmp/soak.conf" 2>"$tmp/live.err" &
        live_pid=$!
        if ! wait_port "soak:out-$n"; then
            echo "soak: tesslive did not start for $n x $n:" >&2
            cat "$tmp/live.err" >&2
            break
        fi
        sleep 1
        set -- $(timeout $((seconds + 30)) "$tmp/soakmon" "$server" "$seconds")
        kill -INT "$live_pid"
        # Under overload the program's realtime threads may leave it little
        # time to end; it gets 20 s.
        i=0
        while kill -0 "$live_pid" 2>/dev/null && [ $i -lt 200 ]; do
            sleep 0.1
            i=$((i + 1))
        done
        kill -KILL "$live_pid" 2>/dev/null || true
        wait "$live_pid" || true
        live_pid=
        # tesslive reports the periods that waited for late background work.
        late=$(sed -n 's/^Warning: \([0-9]*\) periods waited for late background work\.$/\1/p' "$tmp/live.err")
        printf "%-7s %-8s %-8s %-7s %-9s %-9s %s\n" "$p" "${n}x$n" "$threads" "$2" "$4" "$6" "${late:-0}"
        if [ -z "$6" ]; then
            echo "soak: no figures for ${n}x$n" >&2
            break
        fi
        [ "$2" -eq 0 ] && best="${n}x$n"
        # The load is JACK's percentage of the period in use; during a storm
        # of xruns (more than 100 a second) it no longer means much.
        if [ "${4%.*}" -lt 80 ] && [ "$2" -le $((100 * seconds)) ]; then
            under80="${n}x$n"
            fails=0
        else
            # Two sizes in a row at saturation: larger ones will not fit,
            # and their realtime threads would only starve the machine.
            fails=$((fails + 1))
            [ "$fails" -ge 2 ] && break
        fi
    done
    summary="${summary}period $p: largest matrix without an xrun: $best; largest with an average DSP load below 80%: $under80 (size $maxlen, $partitions partitions, $threads threads; the server alone: $base_xruns xruns)\n"
    kill -TERM "$jackd_pid"
    wait "$jackd_pid" 2>/dev/null || true
    jackd_pid=
done
printf "%b" "$summary"
