#!/bin/sh
# Runs a test binary as an ordinary user. As root, drops to nobody with
# setpriv; the binary (and the folders above it) must then be readable by
# others, so it is copied to a private temporary folder first.
if [ "$(id -u)" -ne 0 ]; then
    exec "$@"
fi
bin=$1
shift
dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
cp "$bin" "$dir/" && chmod 755 "$dir" "$dir/$(basename "$bin")" || exit 1
cd "$dir" || exit 1
setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all \
    "$dir/$(basename "$bin")" "$@"
