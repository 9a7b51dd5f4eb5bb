#!/usr/bin/env bash
# One large stream decoded on several threads: zorvex with one thread (-j 1)
# and with its default (one per processor) beside the threaded peers, on the
# same generated data, in the same run.
#   (a) .bz2 cat                      lbzip2 -dc (2 threads)
#   (b) .tar.bz2 extract              tar with lbzip2 -d
#   (c) .xz of many blocks (xz -T0)   xz -dc -T0
#   (d) 7z, LZMA2 with resets (-mmt)  7zz e -so
#   (e) .zst of frames (pzstd)        zstd -dc -T0, pzstd -dc
#   (f) .zst of one frame (zstd -T0)  zstd -dc -T0 (nothing to split: zorvex stays on one thread)
#   (g) .gz of members (8 MiB each)   pigz -dc, igzip -dc
#   (h) .gz of pigz --independent     pigz -dc, igzip -dc (one member in parts that need no history,
#                                     decoded from its flush points on several threads)
#   (i) .gz of one member (gzip -6)   igzip -dc (no flush points: zorvex stays on one thread)
# Prints `nproc` and, per case, zorvex's speed-up over -j 1 and its ratio to each peer.
# Usage: bench/streams.sh [path/to/zorvex]   (default: build/native/tools/zorvex)
# Needs python3, hyperfine, bzip2, lbzip2, xz, 7zz, zstd, pzstd, pigz, igzip. Takes a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
zorvex=$(realpath "${1:-build/native/tools/zorvex}")
need_built "$zorvex"
need_tools python3 hyperfine bzip2 lbzip2 xz 7zz zstd pzstd pigz igzip tar
enter_workdir

python3 - <<'PY'
import random

# 64 MiB of text-like data with stretches of noise.
rng = random.Random(34)
words = [bytes(rng.choice(b'abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 10))) for _ in range(20000)]
with open('text', 'wb') as f:
    written = 0
    while written < 64 << 20:
        text = b' '.join(rng.choice(words) for _ in range(20000))
        noise = rng.randbytes(len(text) // 8)
        f.write(text + noise)
        written += len(text) + len(noise)
PY
bzip2 -9 -k -c text > text.bz2
mkdir tree && split -b 4M text tree/part. && tar -cf - tree | bzip2 -9 > tree.tar.bz2 && rm -r tree
xz -6 -T0 -c text > text.xz
7zz a -bd -mx5 -mmt=on -m0=lzma2 text.7z text > /dev/null
pzstd -q -3 -p "$(nproc)" -c text > frames.zst
zstd -q -3 -T0 -c text > single.zst
split -b 8M text member.
for p in member.*; do gzip -6 -n -c "$p"; done > members.gz
rm member.*
pigz -6 -n -i -c text > independent.gz
gzip -6 -n -c text > single.gz
write_fresh_script "$zorvex" tar lbzip2

z1="$zorvex -j 1"
bench a 'lbzip2 -dc -n 2 text.bz2 > /dev/null' "$z1 cat text.bz2/text > /dev/null" \
    "$zorvex cat text.bz2/text > /dev/null"
HYPERFINE_OPTIONS="--prepare ./fresh" bench b 'tar -I "lbzip2 -n 2" -xf tree.tar.bz2 -C out' \
    "$z1 extract tree.tar.bz2 -C out" "$zorvex extract tree.tar.bz2 -C out"
bench c 'xz -dc -T0 text.xz > /dev/null' "$z1 cat text.xz/text > /dev/null" "$zorvex cat text.xz/text > /dev/null"
bench d '7zz e -so text.7z > /dev/null' "$z1 cat text.7z/text > /dev/null" "$zorvex cat text.7z/text > /dev/null"
bench e 'zstd -dc -T0 frames.zst > /dev/null' 'pzstd -dc frames.zst > /dev/null' \
    "$z1 cat frames.zst/frames > /dev/null" "$zorvex cat frames.zst/frames > /dev/null"
bench f 'zstd -dc -T0 single.zst > /dev/null' "$z1 cat single.zst/single > /dev/null" \
    "$zorvex cat single.zst/single > /dev/null"
bench g 'pigz -dc members.gz > /dev/null' 'igzip -dc members.gz > /dev/null' \
    "$z1 cat members.gz/members > /dev/null" "$zorvex cat members.gz/members > /dev/null"
bench h 'pigz -dc independent.gz > /dev/null' 'igzip -dc independent.gz > /dev/null' \
    "$z1 cat independent.gz/independent > /dev/null" "$zorvex cat independent.gz/independent > /dev/null"
bench i 'igzip -dc single.gz > /dev/null' "$z1 cat single.gz/single > /dev/null" \
    "$zorvex cat single.gz/single > /dev/null"

echo
echo "nproc: $(nproc)"
python3 - <<'PY'
import os
from compare import line, results

size = os.path.getsize('text')
cases = (
    ('a', '.bz2 cat', ['lbzip2 -dc -n 2'], 1.0),
    ('b', '.tar.bz2 extract', ['tar + lbzip2 -n 2'], 1.0),
    ('c', '.xz of many blocks (xz -T0) cat', ['xz -dc -T0'], 1.0),
    ('d', '7z LZMA2 (7zz -mmt) cat', ['7zz e -so'], 1.0),
    ('e', '.zst of frames (pzstd) cat', ['zstd -dc -T0', 'pzstd -dc'], 1.0),
    ('f', '.zst of one frame (zstd -T0) cat', ['zstd -dc -T0'], 1.0),
    ('g', '.gz of 8 MiB members cat', ['pigz -dc', 'igzip -dc'], 1.0),
    ('h', '.gz of pigz -i (one member in parts) cat', ['pigz -dc', 'igzip -dc'], 1.0),
    ('i', '.gz of one member (gzip -6) cat', ['igzip -dc'], 1.0),
)
for key, title, peers, target in cases:
    rows = results(key)
    *theirs, alone, threaded = rows
    print(f'\n({key}) {title}, {size / 2**20:.0f} MiB of output')
    for name, r in zip(peers, theirs):
        print(line(name, r, size, 18) + f'   zorvex {r["median"] / threaded["median"]:.2f}x its speed'
              f' (target >= {target:.2f})')
    print(line('zorvex -j 1', alone, size, 18))
    print(line('zorvex', threaded, size, 18) + f'   {alone["median"] / threaded["median"]:.2f}x -j 1')
PY
