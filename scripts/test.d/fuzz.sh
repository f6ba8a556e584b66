#!/usr/bin/env bash
# Fuzzes the readers of the settings and history files: builds the libFuzzer
# targets in build-asan/ (clang, ASan+UBSan; after scripts/test has built that
# tree, nothing is left to compile), writes a small seed corpus and runs the
# targets side by side, each for a bounded time. Fails when one finds a crash.
#   FUZZ_SECONDS   time per target (default 60)
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
cd "$root"
dir=build-asan
seconds=${FUZZ_SECONDS:-60}
jobs=${JOBS:-2}
started=$SECONDS

source "$root/scripts/test.d/asan_tree.bash"
configure_asan_tree "$root"
cmake --build "$dir" -j"$jobs" --target settings_file_fuzz history_file_fuzz make_fuzz_seeds
echo "fuzz: compiled in $((SECONDS - started)) s"

export ASAN_OPTIONS=${FUZZ_ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${FUZZ_UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

work=$dir/fuzz
rm -rf "$work/seeds" "$work/corpus"
mkdir -p "$work/artifacts"
"$dir/bin/make_fuzz_seeds" "$work/seeds/settings" "$work/seeds/history"

# The targets run side by side, each on a core of its own for its time.
declare -A pids
for target in settings history; do
    mkdir -p "$work/corpus/$target"
    echo "fuzz: ${target}_file_fuzz for ${seconds}s"
    "$dir/bin/${target}_file_fuzz" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -max_len=8192 -print_final_stats=1 \
        -artifact_prefix="$work/artifacts/$target-" \
        "$work/corpus/$target" "$work/seeds/$target" >"$work/$target.log" 2>&1 &
    pids[$target]=$!
done
status=0
for target in settings history; do
    if ! wait "${pids[$target]}"; then
        echo "fuzz: ${target}_file_fuzz FAILED; the log follows, the input is in $work/artifacts/"
        tail -n 60 "$work/$target.log"
        status=1
    else
        echo "fuzz: ${target}_file_fuzz:"
        grep -E '^(stat::number_of_executed_units|Done)' "$work/$target.log" || true
    fi
done
exit $status
