#!/usr/bin/env bash
# Extracting many entries with workers: zorvex -j 1, zorvex with its default
# workers (one per processor) and 7zz x (its default threads) on the same
# generated archives, in the same run, writing to tmpfs (/dev/shm) so that
# the disk does not set the pace.
#   (a) a zip of 5,000 files (1-16 KiB, deflated)
#   (b) a non-solid 7z of the same files (LZMA2, one folder per file)
# Target: the default at least 1.7x as fast as -j 1 on a two-processor machine.
# Usage: bench/entries.sh [path/to/zorvex]   (default: build/native/tools/zorvex)
# Needs python3, 7zz and hyperfine.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
zorvex=$(realpath "${1:-build/native/tools/zorvex}")
need_built "$zorvex"
need_tools python3 7zz hyperfine
[[ -d /dev/shm ]] && export TMPDIR=${TMPDIR:-/dev/shm}
enter_workdir
echo "processors (nproc): $(nproc)"

python3 - <<'PY'
import os, random
rng = random.Random(7)
words = [bytes(rng.choice(b'abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 10))) for _ in range(5000)]
for i in range(5000):
    folder = 'files/d%02d' % (i % 50)
    os.makedirs(folder, exist_ok=True)
    size = rng.randint(1 << 10, 16 << 10)
    data = bytearray()
    while len(data) < size:
        data += b' '.join(rng.choice(words) for _ in range(200)) + rng.randbytes(64)
    open('%s/f%04d.txt' % (folder, i), 'wb').write(data[:size])
PY
(cd files && 7zz a -bso0 -bsp0 -tzip ../many.zip . && 7zz a -bso0 -bsp0 -ms=off -m0=LZMA2 -mx=5 ../many.7z .)
size=$(du -sb files | cut -f1)

# Every command must write the same files before its time means anything.
for archive in many.zip many.7z; do
    for threads in 1 2; do
        rm -rf check && "$zorvex" -j "$threads" extract -q -C check "$archive" && diff -r files "check/${archive%.*}"
    done
done
rm -rf check

write_fresh_script "$zorvex" 7zz
for case in a:many.zip b:many.7z; do
    HYPERFINE_OPTIONS=--prepare=./fresh bench "${case%%:*}" "7zz x -bso0 -bsp0 -oout ${case#*:}" \
        "$zorvex -j 1 extract -q -C out ${case#*:}" "$zorvex extract -q -C out ${case#*:}"
done

SIZE=$size python3 - <<'PY'
import os
import compare
size = int(os.environ['SIZE'])
for key, title in (('a', 'zip of 5,000 files'), ('b', 'non-solid 7z of 5,000 files')):
    peer, one, default = compare.results(key)
    print(f'\n({key}) {title}, {size / 2**20:.0f} MiB of output')
    print(compare.line('7zz x', peer, size, 14))
    print(compare.line('zorvex -j 1', one, size, 14))
    print(compare.line('zorvex', default, size, 14) +
          f'   {one["median"] / default["median"]:.2f}x -j 1 (target >= 1.70),'
          f' {peer["median"] / default["median"]:.2f}x 7zz')
PY
