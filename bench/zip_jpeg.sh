#!/usr/bin/env bash
# Zip-jpeg (zipx method 96) decoding: `zorvex cat` of the corpus sample's
# train.jpg beside unar, the one peer here that decodes this method, in the
# same run. Target: at least 2x unar's speed.
# Usage: bench/zip_jpeg.sh [build dir]   (default: build/native)
# Needs unar, hyperfine, python3 and the corpus beside the repository.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
build=$(realpath "${1:-build/native}")
zorvex=$build/tools/zorvex
need_built "$zorvex"
need_tools unar hyperfine python3
sample=$(realpath ../shared/corpus/zip/winzip-jpeg.zipx 2>/dev/null) || { echo "no ../shared/corpus beside the repository" >&2; exit 1; }
RUNS=${RUNS:-40}
enter_workdir

# Both must give the same bytes before their times mean anything.
unar -q -o - "$sample" train.jpg > peer.jpg
"$zorvex" cat "$sample/train.jpg" > ours.jpg
cmp peer.jpg ours.jpg

bench a "unar -q -o - '$sample' train.jpg > /dev/null" "'$zorvex' cat '$sample/train.jpg' > /dev/null"

python3 - <<'PY'
import json
with open('a.json') as f:
    (peer, ours) = [(r['mean'], r['user'] + r['system']) for r in json.load(f)['results']]
print('\nzip-jpeg, train.jpg (57,105 bytes of output)')
print(f'    unar       {peer[0] * 1000:8.2f} ms  (cpu {peer[1] * 1000:7.2f} ms)')
print(f'    zorvex     {ours[0] * 1000:8.2f} ms  (cpu {ours[1] * 1000:7.2f} ms)')
print(f'    zorvex ratio {peer[0] / ours[0]:.2f}x wall, {peer[1] / ours[1]:.2f}x cpu (target >= 2.00)')
PY
