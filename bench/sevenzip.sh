#!/usr/bin/env bash
# 7z benchmarks: zorvex beside 7zz (one thread) and bsdtar on the same
# generated archives, in the same run.
#   (a) an LZMA entry                         vs  7zz e -so -mmt1
#   (b) an LZMA2 entry                        vs  7zz e -so -mmt1
#   (c) a BCJ2 + LZMA entry (x86 programs)    vs  7zz e -so -mmt1
#   (d) a PPMd entry                          vs  7zz e -so -mmt1
#   (e) extracting all files of a 100 MiB solid folder  vs  7zz x -mmt1
#   (f) reading only the last file of that folder       vs  7zz e -so -mmt1
#   (g) listing a 7z of 100,000 files         vs  bsdtar -tf
#   (h) peak resident memory decoding an LZMA entry with a 64 MiB dictionary
#       (limit: dictionary + 16 MiB)
# Usage: [CASES="a b c d e f g h"] bench/sevenzip.sh [path/to/zorvex]
#        (default zorvex: build/native/tools/zorvex; CASES picks the cases to run)
# Needs python3, 7zz, bsdtar, hyperfine and /usr/bin/time. Takes several minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
zorvex=$(realpath "${1:-build/native/tools/zorvex}")
need_built "$zorvex"
need_tools python3 7zz bsdtar hyperfine /usr/bin/time
enter_workdir

export CASES="${CASES:-a b c d e f g h}"
has() { [[ " $CASES " == *" $1 "* ]]; }
pack() { 7zz a -bso0 -bsp0 -mmt1 "$@" >/dev/null; }

python3 - <<'PY'
import os, random
cases = os.environ['CASES'].split()
rng = random.Random(7)
words = [bytes(rng.choice(b'abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 10))) for _ in range(20000)]
def text(size):
    out = bytearray()
    while len(out) < size:
        piece = b' '.join(rng.choice(words) for _ in range(20000))
        out += piece + rng.randbytes(len(piece) // 8)
    return bytes(out[:size])

os.makedirs('text', exist_ok=True)
if set('abdh') & set(cases):
    open('text/text', 'wb').write(text(48 << 20))
# 100 MiB in 400 files of one solid folder.
if set('ef') & set(cases):
    os.makedirs('solid', exist_ok=True)
    for i in range(400):
        open('solid/part%03d' % i, 'wb').write(text(256 << 10))
# 100,000 one-byte files over 1,000 folders.
if 'g' in cases:
    for i in range(100000):
        folder = 'many/f%04d' % (i % 1000)
        os.makedirs(folder, exist_ok=True)
        open('%s/entry%06d.txt' % (folder, i), 'wb').write(b'x')
PY
# x86 programs for BCJ2: the system's binaries, about 48 MiB.
if has c; then
    mkdir -p x86
    find /usr/bin /usr/lib -type f -size +100k 2>/dev/null | sort | head -400 | xargs cat 2>/dev/null |
        head -c $((48 << 20)) > x86/programs || true
fi

has a && (cd text && pack -m0=LZMA -mx=5 ../lzma.7z text)
has b && (cd text && pack -m0=LZMA2 -mx=5 ../lzma2.7z text)
has c && (cd x86 && pack -mf=BCJ2 -m0=LZMA -mx=5 ../bcj2.7z programs)
has d && head -c $((16 << 20)) text/text > text/ppmd && (cd text && pack -m0=PPMd:o=6:mem=64m ../ppmd.7z ppmd)
if has e || has f; then (cd solid && pack -m0=LZMA2 -mx=5 -ms=on ../solid.7z .); fi
has g && (cd many && pack -m0=LZMA2 -mx=1 ../many.7z .)
has h && (cd text && pack -m0=LZMA:d=64m -mx=5 ../dict.7z text)

has a && bench a '7zz e -so -mmt1 lzma.7z > /dev/null' "$zorvex cat lzma.7z/text > /dev/null"
has b && bench b '7zz e -so -mmt1 lzma2.7z > /dev/null' "$zorvex cat lzma2.7z/text > /dev/null"
has c && bench c '7zz e -so -mmt1 bcj2.7z > /dev/null' "$zorvex cat bcj2.7z/programs > /dev/null"
has d && bench d '7zz e -so -mmt1 ppmd.7z > /dev/null' "$zorvex cat ppmd.7z/ppmd > /dev/null"
write_fresh_script "$zorvex" 7zz
has e && HYPERFINE_OPTIONS=--prepare=./fresh bench e '7zz x -mmt1 -bso0 -bsp0 -oout solid.7z' "$zorvex extract -C out solid.7z > /dev/null"
has f && bench f '7zz e -so -mmt1 solid.7z part399 > /dev/null' "$zorvex cat solid.7z/part399 > /dev/null"
has g && bench g 'bsdtar -tf many.7z > /dev/null' "$zorvex list -r many.7z > /dev/null"
if has h; then
    /usr/bin/time -f '%M' -o rss.zorvex "$zorvex" cat dict.7z/text > /dev/null
    /usr/bin/time -f '%M' -o rss.7zz 7zz e -so -mmt1 dict.7z > /dev/null
fi

python3 - <<'PY'
import os
from compare import compare
cases = os.environ['CASES'].split()

def solid_size():
    return sum(os.path.getsize(os.path.join('solid', n)) for n in os.listdir('solid'))

for key, title, peer_name, size in (
        ('a', 'LZMA entry', '7zz e -so -mmt1', lambda: os.path.getsize('text/text')),
        ('b', 'LZMA2 entry', '7zz e -so -mmt1', lambda: os.path.getsize('text/text')),
        ('c', 'BCJ2 + LZMA entry', '7zz e -so -mmt1', lambda: os.path.getsize('x86/programs')),
        ('d', 'PPMd H entry', '7zz e -so -mmt1', lambda: os.path.getsize('text/ppmd')),
        ('e', 'extracting a solid folder', '7zz x -mmt1', solid_size),
        ('f', 'last file of a solid folder', '7zz e -so -mmt1', lambda: 0),
        ('g', 'listing a 7z of 100,000 files', 'bsdtar -tf', lambda: 0)):
    if key in cases:
        compare(key, title, peer_name, size(), width=20)

if 'h' in cases:
    def kib(name):
        return int(open('rss.' + name).read().split()[-1])
    limit = (64 << 10) + (16 << 10)
    print('\n(h) peak resident memory, LZMA entry with a 64 MiB dictionary')
    print(f'    {"7zz e -so -mmt1":<20} {kib("7zz") / 1024:7.1f} MiB')
    print(f'    {"zorvex":<20} {kib("zorvex") / 1024:7.1f} MiB   limit {limit / 1024:.0f} MiB: '
          + ('within' if kib('zorvex') <= limit else 'OVER'))
PY
