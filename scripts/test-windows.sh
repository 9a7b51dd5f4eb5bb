#!/usr/bin/env bash
# The Windows part of CI: cross-builds the x86-64 and 32-bit x86 builds, checks
# the 32-bit DLL's exports and resources with objdump (this machine cannot run
# 32-bit code), and under Wine (a fresh prefix per run) runs the engine's unit
# tests, registration and unregistration key by key, and the COM server tests
# on archives made here. Prints the time of each step.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

step_start=0
step() {
    local now
    now=$(date +%s)
    [[ $step_start != 0 ]] && echo "== done in $((now - step_start)) s"
    step_start=$now
    echo "== $*"
}

step "cross-built libraries"
bash scripts/setup-windows.sh

for preset in mingw-x64 mingw-x86; do
    step "build $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done

step "DLL exports, imports and resources"
python3 tests/win32/dll_check.py build/mingw-x86/shell/zorvexextractor.dll i686-w64-mingw32 shell/extract.bmp
python3 tests/win32/dll_check.py build/mingw-x64/shell/zorvexextractor.dll x86_64-w64-mingw32 shell/extract.bmp

step "fresh Wine prefix"
scratch=$(mktemp -d)
export WINEPREFIX=$scratch/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$scratch"
}
trap cleanup EXIT
wineboot -i >/dev/null 2>&1
# One server for the whole run: each wine call then starts quickly.
wineserver -p >/dev/null 2>&1

step "engine unit tests under Wine"
# Fixture-making archivers are POSIX programs: tests that need them skip under
# Wine (REQUIRE_TOOL), except these suites, whose helpers run python3 without
# asking first.
needs_posix_tools='ZipWriters.*'
TZ=Europe/Berlin wine build/mingw-x64/tests/zorvex_tests.exe --gtest_brief=1 --gtest_filter="-$needs_posix_tools"

step "registration and unregistration"
dll=$root/build/mingw-x64/shell/zorvexextractor.dll
python3 tests/win32/registry_check.py "$dll"

step "COM server tests under Wine"
python3 tests/win32/make_shell_fixtures.py "$scratch/fixtures"
wine regsvr32 /s "$dll"
ZORVEX_SHELL_FIXTURES=$(winepath -w "$scratch/fixtures") ZORVEX_SHELL_DLL=$(winepath -w "$dll") TZ=Europe/Berlin \
    wine build/mingw-x64/tests/zorvex_shell_tests.exe --gtest_brief=1
wine regsvr32 /s /u "$dll"

step "finished"
