#!/usr/bin/env bash
# Builds everything and runs every test: the native build, the same under
# ASan+UBSan, the worker-thread tests under ThreadSanitizer, a short fuzzing run, and the Windows builds with their tests
# under Wine (scripts/test-windows.sh). Prints the time of each step.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/steps.sh

step "set-up"
bash scripts/setup.sh --windows

for preset in native asan; do
    step "build $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    step "tests $preset"
    ctest --preset "$preset"
done

# Only the tests of code that runs on worker threads (the tsan preset builds no others).
step "build tsan"
cmake --preset tsan >/dev/null
cmake --build --preset tsan
step "tests tsan"
ctest --preset tsan

if [[ -d fuzz ]] && ls fuzz/*.cpp >/dev/null 2>&1; then
    step "build fuzz"
    cmake --preset fuzz >/dev/null
    cmake --build --preset fuzz
    step "fuzzing"
    bash fuzz/run.sh build/fuzz 200
fi

step "Windows builds and tests"
bash scripts/test-windows.sh
step "finished"
