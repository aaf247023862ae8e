#!/usr/bin/env bash
# Prints the path of the first CPython 3.13 or newer that actually runs:
# $PYTHON if given, then python3.14, python3.13, then pyenv's versions.
set -u
works() {
    "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 13) and sys.implementation.name == "cpython" else 1)' \
        >/dev/null 2>&1
}
if [ -n "${PYTHON:-}" ]; then
    if works "$PYTHON"; then command -v "$PYTHON" || echo "$PYTHON"; exit 0; fi
    echo "PYTHON=$PYTHON is not a CPython 3.13 or newer" >&2
    exit 1
fi
for candidate in python3.14 python3.13; do
    if works "$candidate"; then command -v "$candidate"; exit 0; fi
done
root="${PYENV_ROOT:-$HOME/.pyenv}"
if [ -d "$root/versions" ]; then
    for dir in $(ls -1 "$root/versions" | sort -rV); do
        for candidate in "$root/versions/$dir/bin/python3" "$root/versions/$dir/bin/python"; do
            if [ -x "$candidate" ] && works "$candidate"; then echo "$candidate"; exit 0; fi
        done
    done
fi
echo "no CPython 3.13 or newer found; set PYTHON=/path/to/python3.13" >&2
exit 1
