#!/usr/bin/env bash
# Runs the engine tests (the scheduler and its workers) and the process tests
# (the runner and the channel) under
# ThreadSanitizer in build-tsan/; any report fails the run.
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
cd "$root"
jobs=${JOBS:-2}

cmake -S . -B build-tsan -G Ninja -Wno-dev -DCMAKE_BUILD_TYPE=Debug -DVIDMILL_SANITIZE=thread \
    -DVIDMILL_GUI=OFF -DVIDMILL_CONVERTER=OFF >/dev/null
started=$SECONDS
cmake --build build-tsan -j"$jobs" --target engine_tests process_tests vidmill-fake-convert
echo "tsan: compiled in $((SECONDS - started)) s"
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
# A hang must fail the run, not hold it until the CI's own limit.
timeout --kill-after=30 1200 build-tsan/bin/process_tests --gtest_brief=1
timeout --kill-after=30 1200 build-tsan/bin/engine_tests --gtest_brief=1
