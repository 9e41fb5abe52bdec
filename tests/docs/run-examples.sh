#!/bin/sh
# Runs the examples of one markdown file against the built programs, so
# that the documentation cannot drift from them.
#
# Usage: run-examples.sh <build folder> <markdown file> <least number of runs>
#
# Fenced blocks whose info string carries a mark take part:
#   ```conf file=NAME       the block is written to NAME
#   ```sh run [status=N]    the block runs with sh -e; its status must be N
#                           (default 0)
#   ```text stderr          lines that the last run must have written to
#                           standard error, in this order (other lines may
#                           come between them)
# Blocks without a mark are left alone. Every markdown file runs in a fresh
# temporary folder holding the demo's files (make_examples) and the files
# of tests/docs/make_fixtures.cc, with tessfile, tesslive and tessmatrix
# first on PATH.
set -u
build=$(cd "$1" && pwd)
doc=$2
least=$3

work=$(mktemp -d "${TMPDIR:-/tmp}/tess-docs-XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
blocks=$work/.blocks
mkdir "$blocks"

"$build/examples/make_examples" "$work" || exit 1
"$build/tests/docs/make_fixtures" "$work" || exit 1
PATH=$build/programs/offline:$build/programs/realtime:$build/programs/tools:$PATH
export PATH

# Cut the file into numbered blocks: NNN holds the text, NNN.info the info
# string and NNN.line the line of the opening fence.
awk -v dir="$blocks" '
/^```/ {
    if (!open) {
        open = 1; n++
        file = sprintf("%s/%03d", dir, n)
        print substr($0, 4) > (file ".info"); close(file ".info")
        print NR > (file ".line"); close(file ".line")
        printf "" > file
    } else {
        open = 0; close(file)
    }
    next
}
open { print > file }
END { if (open) { print "unterminated code block" > "/dev/stderr"; exit 1 } }
' "$doc" || exit 1

fail=0
runs=0
last_err=
for f in $(ls "$blocks" | grep -E '^[0-9]+$' | sort); do
    b=$blocks/$f
    info=$(cat "$b.info")
    where="$doc:$(cat "$b.line")"
    set -- $info
    lang=${1:-}
    [ $# -gt 0 ] && shift
    case "$lang $*" in
    "conf file="*)
        name=${1#file=}
        cp "$b" "$work/$name"
        ;;
    "sh run"*)
        want=0
        for a in "$@"; do
            case $a in status=*) want=${a#status=} ;; esac
        done
        runs=$((runs + 1))
        last_err=$b.err
        (cd "$work" && sh -e "$b") >"$b.out" 2>"$last_err"
        got=$?
        if [ "$got" != "$want" ]; then
            echo "FAIL $where: exit status $got, expected $want" >&2
            sed 's/^/    | /' "$b" >&2
            echo "  standard error:" >&2
            sed 's/^/    | /' "$last_err" >&2
            fail=1
        fi
        ;;
    "text stderr"*)
        if [ -z "$last_err" ]; then
            echo "FAIL $where: expected output without a run before it" >&2
            fail=1
        elif ! awk 'NR == FNR { want[++n] = $0; next }
                    k < n && $0 == want[k + 1] { k++ }
                    END { exit k == n ? 0 : 1 }' "$b" "$last_err"; then
            echo "FAIL $where: standard error lacks these lines (in this order):" >&2
            sed 's/^/    | /' "$b" >&2
            echo "  it was:" >&2
            sed 's/^/    | /' "$last_err" >&2
            fail=1
        fi
        ;;
    esac
done

if [ "$runs" -lt "$least" ]; then
    echo "FAIL $doc: $runs runnable examples, expected at least $least" >&2
    fail=1
fi
echo "$doc: $runs examples run" >&2
exit $fail
