#!/usr/bin/env bash
# run_fuzzer.sh NAME SECONDS COMMAND...
# Runs one libFuzzer-style fuzzer (a native target or the atheris script) for
# SECONDS on its seed corpus fuzz/corpus/NAME plus its working corpus
# fuzz/bin/corpus/NAME, which keeps what earlier runs learned.  The log goes
# to fuzz/bin/NAME.log; on a finding its end is shown and the input is left
# in fuzz/bin/artifacts/.
set -u
name=$1 seconds=$2
shift 2
bin=fuzz/bin
mkdir -p "$bin/corpus/$name" "$bin/artifacts" "fuzz/corpus/$name"
log="$bin/$name.log"
echo "fuzzing $name for ${seconds}s"
if ! "$@" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=3072 -print_final_stats=1 \
        -artifact_prefix="$bin/artifacts/$name-" "$bin/corpus/$name" "fuzz/corpus/$name" \
        >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzzer $name found a fault; log in $log, input in $bin/artifacts/"
    exit 1
fi
grep -E "^stat::number_of_executed_units" "$log" | sed 's/^stat::number_of_executed_units: */  inputs run: /'
