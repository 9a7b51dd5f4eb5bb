#!/usr/bin/env bash
# The progress line's cost: zorvex extract with it shown (standard error on a
# pseudo-terminal, made by script(1)) beside the same run with -q, both under
# the same pseudo-terminal. Target: within 1%.
#   (a)  a 512 MiB tar of 128 files (bytes counted in large pieces)
#   (b)  a tar.gz of 40,000 files of 2 KiB (a name and a count per entry)
# Usage: [CASES="a b"] [RUNS=n] bench/progress.sh [path/to/zorvex]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
zorvex=$(realpath "${1:-build/native/tools/zorvex}")
need_built "$zorvex"
need_tools python3 tar gzip script hyperfine
RUNS=${RUNS:-5}
export CASES="${CASES:-a b}"
enter_workdir

python3 - <<'PY'
import os, random
cases = os.environ['CASES'].split()
rng = random.Random(7)
if 'a' in cases:
    os.makedirs('big', exist_ok=True)
    block = rng.randbytes(1 << 20)
    for i in range(128):
        with open(f'big/f{i:03}.bin', 'wb') as f:
            for _ in range(4):
                f.write(block)
if 'b' in cases:
    for i in range(40000):
        folder = f'small/d{i // 1000:02}'
        os.makedirs(folder, exist_ok=True)
        with open(f'{folder}/file{i:05}.txt', 'wb') as f:
            f.write(rng.randbytes(2048))
PY
[[ " $CASES " == *" a "* ]] && tar cf a.tar big && rm -rf big
[[ " $CASES " == *" b "* ]] && tar czf b.tar.gz small && rm -rf small
write_fresh_script "$zorvex" script

run_case() {  # run_case KEY ARCHIVE TITLE
    local key=$1 archive=$2
    bench "$key" \
        "./fresh && script -qec '$zorvex extract $archive -C out -q' /dev/null" \
        "./fresh && script -qec '$zorvex extract $archive -C out' /dev/null"
    python3 -c "import compare; compare.compare('$key', '$3', 'progress off', $(stat -c %s "$archive"), 16, 0.99)"
}
[[ " $CASES " == *" a "* ]] && run_case a a.tar "extract, progress shown vs -q: 512 MiB tar"
[[ " $CASES " == *" b "* ]] && run_case b b.tar.gz "extract, progress shown vs -q: 40,000 small files"
exit 0
