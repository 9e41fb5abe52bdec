#!/bin/sh
# Renders the diagrams of docs/img (*.dot) to PNG files beside them.
# Needs graphviz, which it installs through scripts/install-deps.sh when
# missing. The PNG files are committed; run this after changing a .dot.
set -e
here=$(cd "$(dirname "$0")" && pwd)
if ! command -v dot >/dev/null 2>&1; then
    "$here/../../scripts/install-deps.sh" graphviz
fi
for src in "$here"/*.dot; do
    dot -Tpng -Gdpi=96 "$src" -o "${src%.dot}.png"
    echo "Wrote ${src%.dot}.png" >&2
done
