#!/usr/bin/env bash
# Extracting many entries with workers: zorvex -j 1, zorvex with its default
# workers (one per processor) and 7zz x (its default threads) on the same
# generated archives, in the same run, writing to tmpfs (/dev/shm) so that
# the disk does not set the pace.
#   (a) a zip of 5,000 files (1-16 KiB, deflated)
#   (b) a non-solid 7z of the same files (LZMA2, one folder per file)
#   (c) the same files stored in a zip (no decoding): how far the file
#       system alone lets the writing of 5,000 files scale here
#   (d) four .tar.xz given at once (the files in four parts), taken up side
#       by side; beside tar -xJf run for each in turn
#   (e) four .gz of one file each (the files' bytes in four parts), beside
#       igzip -d run for each in turn
# Target: the default at least 1.7x as fast as -j 1 on a two-processor machine.
# Usage: bench/entries.sh [path/to/zorvex]   (default: build/native/tools/zorvex)
# Needs python3, 7zz, igzip and hyperfine.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
zorvex=$(realpath "${1:-build/native/tools/zorvex}")
need_built "$zorvex"
need_tools python3 7zz hyperfine igzip
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
(cd files && 7zz a -bso0 -bsp0 -tzip ../many.zip . && 7zz a -bso0 -bsp0 -ms=off -m0=LZMA2 -mx=5 ../many.7z . &&
    7zz a -bso0 -bsp0 -tzip -mx=0 ../stored.zip .)
for part in 0 1 2 3; do
    # shellcheck disable=SC2046
    tar -cJf "part$part.tar.xz" $(seq -f 'files/d%02g' $((part * 13)) $((part == 3 ? 49 : part * 13 + 12)))
    cat $(seq -f 'files/d%02g/*' $((part * 13)) $((part == 3 ? 49 : part * 13 + 12))) > "joined$part"
    gzip -6 "joined$part"
done
size=$(du -sb files | cut -f1)

# Every command must write the same files before its time means anything.
for archive in many.zip many.7z; do
    for threads in 1 2; do
        rm -rf check && "$zorvex" -j "$threads" extract -q -C check "$archive" && diff -r files "check/${archive%.*}"
    done
done
parts="part0.tar.xz part1.tar.xz part2.tar.xz part3.tar.xz"
# shellcheck disable=SC2086
rm -rf check && "$zorvex" extract -q -C check $parts && diff -r files check/files
gzips="joined0.gz joined1.gz joined2.gz joined3.gz"
# shellcheck disable=SC2086
rm -rf check && "$zorvex" extract -q -C check $gzips && for part in 0 1 2 3; do
    gzip -dc "joined$part.gz" | cmp - "check/joined$part"
done
rm -rf check

write_fresh_script "$zorvex" 7zz
for case in a:many.zip b:many.7z c:stored.zip; do
    HYPERFINE_OPTIONS=--prepare=./fresh bench "${case%%:*}" "7zz x -bso0 -bsp0 -oout ${case#*:}" \
        "$zorvex -j 1 extract -q -C out ${case#*:}" "$zorvex extract -q -C out ${case#*:}"
done
HYPERFINE_OPTIONS=--prepare=./fresh bench d "sh -c 'for p in $parts; do tar -xJf \$p -C out; done'" \
    "$zorvex -j 1 extract -q -C out $parts" "$zorvex extract -q -C out $parts"
HYPERFINE_OPTIONS=--prepare=./fresh bench e "sh -c 'for f in $gzips; do igzip -dc \$f > out/\${f%.gz}; done'" \
    "$zorvex -j 1 extract -q -C out $gzips" "$zorvex extract -q -C out $gzips"

SIZE=$size python3 - <<'PY'
import os
import compare
size = int(os.environ['SIZE'])
for key, title, peer_name in (('a', 'zip of 5,000 files', '7zz x'), ('b', 'non-solid 7z of 5,000 files', '7zz x'),
                              ('c', 'stored zip of 5,000 files', '7zz x'),
                              ('d', 'four .tar.xz at once', 'tar -xJf each'),
                              ('e', 'four .gz at once', 'igzip -d each')):
    peer, one, default = compare.results(key)
    print(f'\n({key}) {title}, {size / 2**20:.0f} MiB of output')
    print(compare.line(peer_name, peer, size, 14))
    print(compare.line('zorvex -j 1', one, size, 14))
    print(compare.line('zorvex', default, size, 14) +
          f'   {one["median"] / default["median"]:.2f}x -j 1 (target >= 1.70),'
          f' {peer["median"] / default["median"]:.2f}x {peer_name}')
PY
