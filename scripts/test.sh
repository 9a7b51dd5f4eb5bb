#!/usr/bin/env bash
# Builds everything and runs every test: the native build, the same under
# ASan+UBSan, the worker-thread tests under ThreadSanitizer, a short fuzzing run, and the Windows builds with their tests
# under Wine (scripts/test-windows.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --windows

for preset in native asan; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done

# Only the tests of code that runs on worker threads (the tsan preset builds no others).
cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan

if [[ -d fuzz ]] && ls fuzz/*.cpp >/dev/null 2>&1; then
    cmake --preset fuzz >/dev/null
    cmake --build --preset fuzz
    bash fuzz/run.sh build/fuzz 200
fi

bash scripts/test-windows.sh
