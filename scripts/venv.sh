#!/usr/bin/env bash
# scripts/venv.sh UV DIR PACKAGE...: makes a fresh venv at DIR with the
# interpreter scripts/find_python.sh picks, with pip in it, and installs
# PACKAGE... (pip's requirement syntax) into it.
#
# UV is the uv binary that the Makefile installed (with pip) into its own
# small venv; uv resolves and installs the test dependencies in seconds where
# pip takes a minute or more, and links them from one download cache shared
# by every venv (UV_CACHE_DIR, default ~/.cache/uv).  When UV is not an
# executable (PyPI had no uv wheel for this platform) or uv fails (it reads
# no pip configuration: an index set up for pip alone), pip does the work.
set -euo pipefail
uv=$1 dir=$2
shift 2
PY=$(scripts/find_python.sh)
echo "using $PY for $dir"
if [ -x "$uv" ] && "$uv" venv --quiet --clear --seed --python "$PY" "$dir" \
        && "$uv" pip install --quiet --python "$dir/bin/python" "$@"; then
    exit 0
fi
[ -x "$uv" ] && echo "uv failed; installing with pip into $dir" >&2
"$PY" -m venv --clear "$dir"
"$dir/bin/python" -m pip install --quiet --upgrade pip
"$dir/bin/python" -m pip install --quiet "$@"
