#!/bin/sh
# Installs the Debian packages needed to build and test the project, and
# any further packages named as arguments (bench/plot.sh asks for
# gnuplot-nox this way).
# Idempotent: when every package is already installed it returns at once.
set -e

# liblo-dev gives tesslive its OSC control, liblo-tools (oscsend, oscdump)
# its tests; groff-base checks the manual pages; dpkg-dev (dpkg-shlibdeps) and file
# let CPack work out the Debian package's dependencies.
PACKAGES="g++ make cmake pkg-config \
libsndfile1-dev libfftw3-dev libjack-jackd2-dev jackd2 \
libgtest-dev libgmock-dev googletest libbenchmark-dev util-linux liblo-dev liblo-tools \
groff-base dpkg-dev file clang libclang-rt-14-dev $*"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
        missing="$missing $p"
    fi
done

if [ -z "$missing" ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi

echo "Installing:$missing" >&2
export DEBIAN_FRONTEND=noninteractive
# jackd2 asks whether to enable realtime priority; answer it beforehand.
echo "jackd2 jackd/tweak_rt_limits boolean false" | $SUDO debconf-set-selections 2>/dev/null || true
$SUDO apt-get update -qq >&2
$SUDO apt-get install -y -qq --no-install-recommends $missing >&2
