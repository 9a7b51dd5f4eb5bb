#!/usr/bin/env bash
# The Windows part of CI: cross-builds the x86-64 and 32-bit x86 builds, checks
# both DLLs' exports, imports and resources with objdump (this machine cannot
# run 32-bit code), and under Wine (a fresh prefix per run) runs the engine's
# unit tests, registration and unregistration key by key, and the COM server
# tests on archives made here, the last of them the archive folder's view in a
# test browser on a private X server (screenshot in build/mingw-x64/artefacts).
# Prints the time of each step; a failing test step does not stop the later
# ones, and the exit status reports them all.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

source scripts/steps.sh
failed=()
check() {  # check NAME COMMAND...: runs a test step, remembering a failure
    local name=$1
    shift
    "$@" || failed+=("$name")
}

# wine_gtest PROGRAM ARGS...: a test program under Wine. A crash there can end
# the process with status 0 (Wine's debugger reports it and returns), so the
# run counts only when the program also wrote its closing report.
wine_gtest() {
    local report=build/mingw-x64/gtest-report.xml
    rm -f "$report"
    wine "$@" --gtest_output="xml:$report" && [[ -s $report ]]
}

step "cross-built libraries"
bash scripts/setup-windows.sh

# Everything for x86-64; for 32-bit x86 the DLL, which is only inspected.
step "build mingw-x64"
cmake --preset mingw-x64 >/dev/null
cmake --build --preset mingw-x64
step "build mingw-x86"
cmake --preset mingw-x86 >/dev/null
cmake --build --preset mingw-x86 --target zorvexextractor

step "DLL exports, imports and resources"
check "x86 DLL" python3 tests/win32/dll_check.py build/mingw-x86/shell/zorvexextractor.dll i686-w64-mingw32 \
    shell/extract.bmp
check "x64 DLL" python3 tests/win32/dll_check.py build/mingw-x64/shell/zorvexextractor.dll x86_64-w64-mingw32 \
    shell/extract.bmp

step "fresh Wine prefix"
scratch=$(mktemp -d)
export WINEPREFIX=$scratch/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$scratch"
}
trap cleanup EXIT
# One server for the whole run, so that each wine call starts quickly.
wineserver -p >/dev/null 2>&1 || true
wineboot -i >/dev/null 2>&1

step "engine unit tests under Wine"
# Fixture-making archivers are POSIX programs: tests that need them skip under
# Wine (REQUIRE_TOOL), except these suites, whose helpers run python3 without
# asking first.
needs_posix_tools='ZipWriters.*'
TZ=Europe/Berlin check "unit tests" \
    wine_gtest build/mingw-x64/tests/zorvex_tests.exe --gtest_brief=1 --gtest_filter="-$needs_posix_tools"

step "registration and unregistration"
dll=$root/build/mingw-x64/shell/zorvexextractor.dll
check "registry" python3 tests/win32/registry_check.py "$dll"

step "COM server tests under Wine"
python3 tests/win32/make_shell_fixtures.py "$scratch/fixtures"
# What `zorvex extract` writes is what the data objects must deliver, byte for
# byte (main.zip's file "dup" clashes with its folder "dup": status ignored).
(cd "$scratch/fixtures" && wine "$root/build/mingw-x64/tools/zorvex.exe" extract main.zip bundle.tar.gz \
    pieces.zip.001 -C expected >/dev/null 2>&1 || true)
wine regsvr32 /s "$dll"
# Tests that show windows (the folder view, the password dialog) run on the X server below.
windowed='ViewTest.*:PasswordTest.*'
ZORVEX_SHELL_FIXTURES=$(winepath -w "$scratch/fixtures") ZORVEX_SHELL_DLL=$(winepath -w "$dll") TZ=Europe/Berlin \
    check "COM server tests" wine_gtest build/mingw-x64/tests/zorvex_shell_tests.exe --gtest_brief=1 \
    --gtest_filter="-$windowed"

step "archive folder view and password dialog under Xvfb"
# The folder view and the password dialog need a display: a private X server
# (xvfb-run picks a free number) for this step only, and Wine's server
# restarted so that its desktop uses it. A test that stops answering fails the
# step instead of hanging it.
artefacts=$root/build/mingw-x64/artefacts
mkdir -p "$artefacts"
rm -f "$artefacts/view.png"
view_fixtures=$(winepath -w "$scratch/fixtures")
screenshot=$(winepath -w "$artefacts/view.png")
wineserver -k >/dev/null 2>&1 || true
wineserver -w
ZORVEX_SHELL_FIXTURES=$view_fixtures ZORVEX_VIEW_SCREENSHOT=$screenshot \
    check "windowed tests" xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" \
    sh -c 'timeout 120 wine "$0" --gtest_brief=1 --gtest_filter="$1"; status=$?; wineserver -k; exit $status' \
    build/mingw-x64/tests/zorvex_shell_tests.exe "$windowed"

wine regsvr32 /s /u "$dll"

step "finished"
if [[ ${#failed[@]} -gt 0 ]]; then
    echo "failed: ${failed[*]}"
    exit 1
fi
