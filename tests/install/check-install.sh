#!/bin/sh
# Installs a build folder below a staging root with another prefix, as
# "make install DESTDIR=<stage> PREFIX=/opt/x" does, and checks the list of
# installed files, the installed tessfile (usage text, the installed
# example) and that the Makefile hands PREFIX and DESTDIR to CMake.
# Usage: check-install.sh <build folder> <source folder> <1 if tesslive is built, else 0>
set -u
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
live=$3
stage=$(mktemp -d "${TMPDIR:-/tmp}/tess-stage-XXXXXX") || exit 1
trap 'rm -rf "$stage" "$stage.expected" "$stage.found"' EXIT
fail=0

if ! DESTDIR=$stage cmake --install "$build" --prefix /opt/x >"$stage.log" 2>&1; then
    cat "$stage.log" >&2
    rm -f "$stage.log"
    echo "FAIL: cmake --install" >&2
    exit 1
fi
rm -f "$stage.log"

{
    echo opt/x/bin/tessfile
    echo opt/x/bin/tessmatrix
    [ "$live" = 1 ] && echo opt/x/bin/tesslive
    echo opt/x/share/man/man1/tessfile.1
    echo opt/x/share/man/man1/tessmatrix.1
    [ "$live" = 1 ] && echo opt/x/share/man/man1/tesslive.1
    for f in README.md configuration.md tessfile.md tesslive.md realtime.md cycle.md \
             img/cycle.png img/rt-factor.png examples/README examples/crossover.conf \
             examples/left.wav examples/right.wav examples/input.wav; do
        echo "opt/x/share/doc/tess/$f"
    done
} | sort >"$stage.expected"
(cd "$stage" && find . -type f | sed 's|^\./||' | sort) >"$stage.found"
if ! cmp -s "$stage.expected" "$stage.found"; then
    echo "FAIL: installed files differ from the expected list (< expected, > installed):" >&2
    diff "$stage.expected" "$stage.found" >&2
    fail=1
fi

bin=$stage/opt/x/bin
"$bin/tessfile" -h >"$stage/.out" 2>"$stage/.err"
status=$?
if [ $status -ne 1 ] || [ -s "$stage/.out" ] || ! grep -qx 'Usage: tessfile <configuration file> <input file> <output file>' "$stage/.err"; then
    echo "FAIL: installed tessfile -h: status $status (expected 1), usage text:" >&2
    cat "$stage/.err" >&2
    fail=1
fi
(cd "$stage/opt/x/share/doc/tess/examples" &&
    "$bin/tessfile" crossover.conf input.wav "$stage/out.wav") 2>"$stage/.err"
status=$?
if [ $status -ne 0 ] || [ ! -s "$stage/out.wav" ]; then
    echo "FAIL: installed tessfile on the installed example: status $status" >&2
    cat "$stage/.err" >&2
    fail=1
fi

# The Makefile's part: its commands, without running them.
plan=$(make -n -C "$src" install BUILD="$build" PREFIX=/opt/x DESTDIR="$stage/m" 2>&1)
if ! echo "$plan" | grep -q -- "-DCMAKE_INSTALL_PREFIX=/opt/x" ||
   ! echo "$plan" | grep -q "DESTDIR=\"$stage/m\" cmake --install $build"; then
    echo "FAIL: make install does not pass PREFIX and DESTDIR on:" >&2
    echo "$plan" >&2
    fail=1
fi
exit $fail
