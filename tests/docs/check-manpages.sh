#!/bin/sh
# Checks the manual pages: groff formats them without a warning, the
# configuration sections of tessfile.1 and tesslive.1 are the same text,
# and every option of a program's usage text is described in its page.
# Usage: check-manpages.sh <man folder> <build folder>
# Exit status 77 (skipped) without groff.
man=$1
build=$2
if ! command -v groff >/dev/null 2>&1; then
    echo "groff is not installed (groff-base): skipped" >&2
    exit 77
fi
fail=0

for page in "$man"/*.1; do
    warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
    if [ -n "$warnings" ]; then
        echo "FAIL $page: groff warns:" >&2
        echo "$warnings" >&2
        fail=1
    fi
    for sect in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES "SEE ALSO"; do
        if ! grep -qx "\.SH \"*$sect\"*" "$page"; then
            echo "FAIL $page: no section $sect" >&2
            fail=1
        fi
    done
done

section() {   # the CONFIGURATION section of a page
    sed -n '/^\.SH CONFIGURATION$/,/^\.SH /p' "$1" | sed '$d'
}
for page in tessfile tesslive; do
    if ! grep -qx '\.SH CONFIGURATION' "$man/$page.1"; then
        echo "FAIL $page.1: no section CONFIGURATION" >&2
        fail=1
    fi
done
if [ "$(section "$man/tessfile.1")" != "$(section "$man/tesslive.1")" ]; then
    echo "FAIL: the CONFIGURATION sections of tessfile.1 and tesslive.1 differ" >&2
    fail=1
fi
for cmd in /convolver/new /convolver/partitions /input/name /output/name /input/gain /output/gain /input/dbgain \
           /output/dbgain /matrix/load /matrix/load_transp /matrix/load_output \
           /matrix/load_input /cd; do
    if ! section "$man/tessfile.1" | grep -q "^\.BI.* $cmd "; then
        echo "FAIL: command $cmd is not described in CONFIGURATION" >&2
        fail=1
    fi
done

# Options of the usage texts ("  -T  ..." lines) against the OPTIONS
# sections (".B \-T" or ".BI \-N name").
for prog in programs/offline/tessfile programs/realtime/tesslive programs/tools/tessmatrix; do
    exe=$build/$prog
    [ -x "$exe" ] || continue
    name=$(basename "$prog")
    opts=$("$exe" -h 2>&1 | sed -n 's/^  -\([A-Za-z]\).*/\1/p')
    if [ -z "$opts" ]; then
        echo "FAIL: no options found in the usage text of $name" >&2
        fail=1
    fi
    for o in $opts; do
        if ! sed -n '/^\.SH OPTIONS$/,/^\.SH /p' "$man/$name.1" | grep -q "^\.BI* \\\\-$o\( \|$\)"; then
            echo "FAIL $name.1: option -$o of the usage text is not described" >&2
            fail=1
        fi
    done
done
exit $fail
