#!/bin/sh
# Runs every fuzz target of a build for a set time on a working corpus in the
# build folder, seeded from fuzz/corpus/<target>/, and prints the executions
# each reached. A finding stops its target, lands in <build>/fuzz-findings/
# and makes the run fail.
#
#   fuzz/run.sh BUILD_DIR SECONDS_PER_TARGET
set -u

build=${1:?build folder}
seconds=${2:?seconds per target}
here=$(cd "$(dirname "$0")" && pwd)
targets="fuzz_frame fuzz_allow_range fuzz_ini fuzz_name_output fuzz_node_status"

mkdir -p "$build/fuzz-corpus" "$build/fuzz-findings" "$build/fuzz-logs"
failed=""
summary=""
for t in $targets; do
    exe="$build/fuzz/$t"
    if [ ! -x "$exe" ]; then
        echo "missing $exe" >&2
        exit 1
    fi
    mkdir -p "$build/fuzz-corpus/$t"
    log="$build/fuzz-logs/$t.log"
    extra=""
    # Its component keeps hosts across inputs on purpose (see FrameFuzzer.cpp).
    [ "$t" = fuzz_frame ] && extra="-detect_leaks=0"
    echo "fuzzing $t for ${seconds}s"
    # Inputs up to 4 KiB: frames, rule texts and INI files past that only
    # repeat what shorter ones reach, and slow the search down.
    "$exe" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$build/fuzz-findings/$t-" $extra \
        "$build/fuzz-corpus/$t" "$here/corpus/$t" >"$log" 2>&1
    rc=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    corpus=$(ls "$build/fuzz-corpus/$t" | wc -l)
    if [ $rc -ne 0 ]; then
        failed="$failed $t"
        summary="$summary$(printf '%-18s %12s executions  FINDING (see %s)' "$t" "${runs:-?}" "$log")\n"
        tail -n 40 "$log" >&2
    else
        summary="$summary$(printf '%-18s %12s executions  no finding, corpus %s inputs' "$t" "${runs:-?}" "$corpus")\n"
    fi
done
printf '\n%s s per target:\n' "$seconds"
printf '%b' "$summary"
if [ -n "$failed" ]; then
    echo "findings in:$failed" >&2
    exit 1
fi
