#!/usr/bin/env bash
# The pytest suite on every interpreter of the matrix, inside the tree that
# scripts/interpreters.sh prepares: for each one a venv in build/matrix/
# (made once, with the test dependencies), bitloom built and installed into
# it, and the whole suite run.  Free-threaded interpreters (a name ending in
# "t") run with the GIL off.  Every leg runs even when one fails; the exit
# status says whether all passed.
#
#   scripts/matrix.sh DIR [PYTHON...]     default: python3.14 python3.15 python3.13t
set -uo pipefail
cd "$(dirname "$0")/.."
dir=$(readlink -f "$1"); shift
[ $# -gt 0 ] || set -- python3.14 python3.15 python3.13t
run() { BITLOOM_SRC="$PWD" "$dir/run" "$@"; }
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

summary=()
failed=0
for python in "$@"; do
    venv=build/matrix/$python
    env=()
    warnings=()
    # -W error: a warning that the GIL was enabled fails the leg.
    case $python in *t) env=(PYTHON_GIL=0); warnings=(-W error::RuntimeWarning) ;; esac
    echo "==== $python ${env[*]}"
    start=$SECONDS
    if [ ! -e "$venv/.deps-installed" ]; then
        rm -rf "$venv"
        run "$python" -m venv "$venv" &&
        run "$venv/bin/python" -m pip install --quiet --upgrade pip &&
        run "$venv/bin/python" -m pip install --quiet "scikit-build-core>=0.10" "pytest>=8" \
            "hypothesis>=6.100" "build>=1.2" &&
        # numpy only as a published wheel: a new interpreter may have none
        # yet, and the tests that need numpy or Dask then skip.
        { run "$venv/bin/python" -m pip install --quiet --only-binary numpy "numpy>=1.26" "dask[bag]>=2024.1" \
            || echo "$python: no numpy wheel; its tests skip"; } &&
        touch "$venv/.deps-installed" || { summary+=("$python: the venv could not be made"); failed=1; continue; }
    fi
    if ! run "$venv/bin/python" -m pip install --quiet --no-build-isolation --no-deps --force-reinstall .; then
        summary+=("$python: the build failed"); failed=1; continue
    fi
    # Every extension module declares that it runs without the GIL, so
    # importing them keeps it off without PYTHON_GIL=0 (and warns of nothing).
    if [ ${#env[@]} -gt 0 ] && ! run "$venv/bin/python" -W error -c 'import sys, bitloom, bitloom.frames
sys.exit("importing bitloom turned the GIL on" if sys._is_gil_enabled() else 0)'; then
        summary+=("$python: importing bitloom turns the GIL on"); failed=1
    fi
    version=$(run "$venv/bin/python" -c 'import sys; print(sys.version.split()[0])')
    log=build/matrix/$python.log
    run env "${env[@]}" "$venv/bin/pytest" -q -p no:cacheprovider "${warnings[@]}" tests 2>&1 | tee "$log"
    status=${PIPESTATUS[0]}
    result=$(grep -E '^(=+ )?[0-9]+ (passed|failed)' "$log" | tail -1 | sed 's/=//g; s/^ *//; s/ *$//')
    summary+=("$python $version ${env[*]}: ${result:-no result} ($((SECONDS - start)) s)")
    [ "$status" = 0 ] || failed=1
done
echo "==== matrix"
printf '%s\n' "${summary[@]}"
exit $failed
