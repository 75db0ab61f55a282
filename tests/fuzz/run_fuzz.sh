#!/bin/sh
# Runs each fuzz target for the given number of seconds (default 60), from
# the seed corpus and past findings. A finding is left in build/fuzz/findings;
# copy it to tests/fuzz/regressions/<target>/ once it is fixed, so the normal
# test suite replays it.
set -e
seconds=${1:-60}
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
status=0
for target in image sdk signature; do
    work=$root/build/fuzz/corpus/$target
    mkdir -p "$work" build/fuzz/findings
    if ! ASAN_OPTIONS=detect_leaks=1 build/fuzz/tests/fuzz/fuzz_$target \
            -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
            -artifact_prefix="$root/build/fuzz/findings/$target-" \
            "$work" "$root/tests/fuzz/corpus/$target" "$root/tests/fuzz/regressions/$target" \
            >"build/fuzz/$target.log" 2>&1; then
        status=1
        echo "fuzz_$target: FINDING (see build/fuzz/$target.log and build/fuzz/findings)"
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "build/fuzz/$target.log")
    echo "fuzz_$target: $runs executions in $seconds s, corpus $(ls "$work" | wc -l) inputs"
done
exit $status
