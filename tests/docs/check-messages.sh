#!/bin/sh
# The messages that the documentation quotes in its tables are the ones
# the programs print: every table row of the given markdown files whose
# first cell starts with a quoted text (`...`) must match a string in the
# sources, with the placeholders of the docs ('...', ..., numbers, a lone
# letter) standing for the formats of the code. Adjacent C string literals are
# joined first.
# Usage: check-messages.sh <source folder> <markdown file>...
src=$1
shift
work=$(mktemp -d "${TMPDIR:-/tmp}/tess-messages-XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT

cat "$src"/config/*.cc "$src"/programs/*/*.cc | tr '\n' ' ' |
    sed 's/"[[:space:]]*"//g' >"$work/sources"
fail=0
count=0
for doc in "$@"; do
    sed -n 's/^| `\([^`]*\)`.*/\1/p' "$doc" >"$work/quoted"
    while IFS= read -r msg; do
        count=$((count + 1))
        # Fragments between the placeholders, each of which must be in the
        # sources as written.
        printf '%s\n' "$msg" | sed -E -e 's/^Line n: //' -e "s/'\.\.\.'/\n/g" -e 's/\.\.\./\n/g' \
            -e 's/[0-9]+/\n/g' \
            -e 's/(^|[^A-Za-z])[a-z]([^A-Za-z]|$)/\1\n\2/g' \
            -e 's/(^|[^A-Za-z])[a-z]([^A-Za-z]|$)/\1\n\2/g' >"$work/fragments"
        while IFS= read -r frag; do
            [ ${#frag} -lt 3 ] && continue
            if ! grep -qF -- "$frag" "$work/sources"; then
                echo "FAIL $doc: '$msg': '$frag' is not in the sources" >&2
                fail=1
            fi
        done <"$work/fragments"
    done <"$work/quoted"
done
echo "$count quoted messages and commands checked" >&2
[ $count -gt 0 ] || fail=1
exit $fail
