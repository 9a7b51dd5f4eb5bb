#!/usr/bin/env bash
# Builds everything and runs every test: the native build, the same under
# ASan+UBSan, a short fuzzing run, and the Windows builds with their tests
# under Wine (scripts/test-windows.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --windows

for preset in native asan; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done

if [[ -d fuzz ]] && ls fuzz/*.cpp >/dev/null 2>&1; then
    cmake --preset fuzz >/dev/null
    cmake --build --preset fuzz
    bash fuzz/run.sh build/fuzz 200
fi

bash scripts/test-windows.sh
