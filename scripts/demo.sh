#!/usr/bin/env bash
# Builds zorvex and shows it on the bundled sample: lists it (descending into
# folders and the nested zip), reads one entry, tests it, then extracts it to
# out/sample.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native --target zorvex
zorvex=build/native/tools/zorvex
echo "== zorvex list -r samples/sample.zip"
"$zorvex" list -r samples/sample.zip
echo "== zorvex cat samples/sample.zip/LICENSE.txt"
"$zorvex" cat samples/sample.zip/LICENSE.txt
echo "== zorvex test samples/sample.zip"
"$zorvex" test samples/sample.zip
rm -rf out/sample
echo "== zorvex extract samples/sample.zip -C out"
"$zorvex" extract samples/sample.zip -C out
find out/sample | sort
