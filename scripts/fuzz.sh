#!/usr/bin/env bash
# Builds every libFuzzer target of fuzz/ with clang (address and undefined-behaviour sanitizers) and
# runs each for SECONDS (default 60), printing its executions and findings. Not part of CI: run it
# by hand after changing a parser or reader. Crashing inputs are kept in build/fuzz/findings/.
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-60}
case $seconds in '' | *[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;; esac

scripts/setup-deps.sh
export CCACHE_DIR=${CCACHE_DIR:-$root/build/.ccache}
build=$root/build/fuzz
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DTOLVANE_FUZZ=ON -DTOLVANE_GUI=OFF -DTOLVANE_BENCH=OFF >/dev/null
targets=$(cd "$root/fuzz" && ls -- *_fuzz.cpp | sed 's/\.cpp$//')
# shellcheck disable=SC2086
cmake --build "$build" -j "$(nproc)" --target $targets
mkdir -p "$build/findings" "$build/corpus"

failed=0
for t in $targets; do
    mkdir -p "$build/corpus/$t"
    rm -f "$build/findings/$t-"*
    log=$build/$t.log
    status=0
    "$build/$t" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/findings/$t-" \
        "$build/corpus/$t" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    found=$(find "$build/findings" -name "$t-*" | wc -l)
    printf '%-22s %12s executions  %s findings\n' "$t" "${runs:-?}" "$found"
    if [ "$status" -ne 0 ] || [ "$found" -ne 0 ]; then
        failed=1
        tail -20 "$log"
    fi
done
exit $failed
