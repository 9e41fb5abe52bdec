#!/bin/sh
# Builds the Debian package of a build folder with CPack, installs it with
# dpkg, checks the installed programs, and purges it again, so that the
# machine is left as it was found.
# Usage: check-package.sh <build folder>
# Exit status 77 (skipped) when not root, without dpkg, or when a package
# or files named tess are on the machine already (they are left alone).
set -u
build=$(cd "$1" && pwd)

skip() {
    echo "skipped: $*" >&2
    exit 77
}
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
command -v dpkg >/dev/null 2>&1 || skip "no dpkg"
command -v cpack >/dev/null 2>&1 || skip "no cpack"

# One package test at a time on this machine, whatever build folder.
exec 9>/tmp/tess-package-test.lock
flock 9

if dpkg-query -W -f='${Status}' tess 2>/dev/null | grep -q "installed"; then
    skip "a package named tess is installed already"
fi
for f in /usr/bin/tessfile /usr/bin/tesslive /usr/bin/tessmatrix; do
    [ -e "$f" ] && skip "$f exists already"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tess-package-XXXXXX") || exit 1
installed=0
cleanup() {
    if [ $installed = 1 ]; then
        dpkg --purge tess >"$work/purge.log" 2>&1 || cat "$work/purge.log" >&2
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail=0

if ! (cd "$work" && cpack -G DEB -B "$work" --config "$build/CPackConfig.cmake") >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    echo "FAIL: cpack" >&2
    exit 1
fi
deb=$(ls "$work"/tess_*.deb 2>/dev/null | head -n 1)
if [ -z "$deb" ]; then
    cat "$work/cpack.log" >&2
    echo "FAIL: no tess_*.deb made" >&2
    exit 1
fi
echo "package: $(basename "$deb")" >&2
fields=$(dpkg-deb -f "$deb" Package Version Section Depends)
echo "$fields" >&2
for want in "Package: tess" "Version: 0.5.2" "Section: sound"; do
    echo "$fields" | grep -qx "$want" || { echo "FAIL: control lacks '$want'" >&2; fail=1; }
done
for lib in libsndfile1 libfftw3-single3; do
    echo "$fields" | grep "^Depends:" | grep -q "$lib" ||
        { echo "FAIL: Depends lacks $lib" >&2; fail=1; }
done

if ! dpkg -i "$deb" >"$work/dpkg.log" 2>&1; then
    installed=1
    cat "$work/dpkg.log" >&2
    echo "FAIL: dpkg -i $deb" >&2
    exit 1
fi
installed=1

/usr/bin/tessfile -h >"$work/out" 2>"$work/err"
status=$?
printf '\ntessfile 0.5.2\nUsage: tessfile <configuration file> <input file> <output file>\nOptions:\n  -h  Display this text\n  -T  Truncate ouput to input size\n' >"$work/usage"
if [ $status -ne 1 ] || [ -s "$work/out" ] || ! cmp -s "$work/usage" "$work/err"; then
    echo "FAIL: /usr/bin/tessfile -h: status $status (expected 1); standard error:" >&2
    cat "$work/err" >&2
    fail=1
fi
# The package carries everything; on the disk only the programs are sure
# to be, since dpkg may be told to leave out manual pages and
# documentation (container images often are).
dpkg-deb -c "$deb" | awk '{ print $NF }' >"$work/contents"
for f in ./usr/bin/tessfile ./usr/bin/tessmatrix ./usr/share/man/man1/tessfile.1 \
         ./usr/share/man/man1/tessmatrix.1 ./usr/share/doc/tess/configuration.md \
         ./usr/share/doc/tess/examples/crossover.conf; do
    grep -qx -- "$f" "$work/contents" || { echo "FAIL: $f is not in the package" >&2; fail=1; }
done
for f in /usr/bin/tessfile /usr/bin/tessmatrix; do
    [ -x "$f" ] || { echo "FAIL: $f not installed" >&2; fail=1; }
    if ldd "$f" | grep -q "not found"; then
        echo "FAIL: $f misses libraries:" >&2
        ldd "$f" >&2
        fail=1
    fi
done
examples=/usr/share/doc/tess/examples
[ -f "$examples/crossover.conf" ] || examples=$build/examples/data
(cd "$examples" && /usr/bin/tessfile crossover.conf input.wav "$work/out.wav") 2>"$work/err"
status=$?
if [ $status -ne 0 ]; then
    echo "FAIL: /usr/bin/tessfile on the example in $examples: status $status" >&2
    cat "$work/err" >&2
    fail=1
fi

if ! dpkg --purge tess >"$work/purge.log" 2>&1; then
    cat "$work/purge.log" >&2
    echo "FAIL: dpkg --purge tess" >&2
    fail=1
fi
installed=0
for f in /usr/bin/tessfile /usr/bin/tessmatrix /usr/share/doc/tess; do
    [ -e "$f" ] && { echo "FAIL: $f left after the purge" >&2; fail=1; }
done
exit $fail
