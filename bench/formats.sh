#!/usr/bin/env bash
# Tar and single-file format benchmarks: zorvex beside the formats' own tools
# on the same generated data, in the same run.
#   (a) gzip decoding                      vs  gzip -dc
#   (b) lzip decoding                      vs  lzip -dc
#   (c) listing a tar of 100,000 small files  vs  bsdtar -tf
#   (d) listing a 2 KB .bz2 of 20 GiB of zeros  vs  7zz l
#   (e) listing a 1 GiB .tar.gz (the tar in it) vs  7zz l
#   (f) listing the files of that tar (list -r) vs  bsdtar -tf
# Listing reads headers: (d) and (e) decode nothing; (f) must decode the whole
# stream, over which the tar's headers are spread.
# Usage: [CASES="a b c d e f"] bench/formats.sh [path/to/zorvex]
#        (default zorvex: build/native/tools/zorvex; CASES picks the cases to run)
# Needs python3, gzip, lzip, bsdtar, 7zz and hyperfine. Takes a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
zorvex=$(realpath "${1:-build/native/tools/zorvex}")
need_built "$zorvex"
need_tools python3 gzip lzip bsdtar 7zz hyperfine
enter_workdir

export CASES="${CASES:-a b c d e f}"
has() { [[ " $CASES " == *" $1 "* ]]; }

python3 - <<'PY'
import io, os, random, tarfile
cases = os.environ['CASES'].split()

# 256 MiB of text-like data.
if 'a' in cases or 'b' in cases:
    rng = random.Random(2)
    words = [bytes(rng.choice(b'abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 10))) for _ in range(5000)]
    chunk = b' '.join(rng.choice(words) for _ in range(400000)) + b'\n'
    with open('text.txt', 'wb') as f:
        written = 0
        while written < 256 << 20:
            piece = bytearray(chunk)
            piece[rng.randrange(len(piece))] = 0x41  # keep chunks from being exact repeats
            f.write(piece)
            written += len(piece)

# 100,000 small files over 1,000 folders.
if 'c' in cases:
    with tarfile.open('many.tar', 'w', format=tarfile.GNU_FORMAT) as t:
        for i in range(100000):
            info = tarfile.TarInfo('f%04d/entry%06d.txt' % (i % 1000, i))
            info.size = 1
            info.mtime = 1700000000
            t.addfile(info, io.BytesIO(b'x'))

# 20 GiB of zeros as 1,280 bzip2 streams of 16 MiB each, one after another.
if 'd' in cases:
    import bz2
    with open('zeros.bz2', 'wb') as f:
        f.write(bz2.compress(bytes(16 << 20), 1) * 1280)

# A tar of 1,024 files of 1 MiB, each one of 16 blocks of random text: cheap
# to make and compresses about as text does. Compressed below.
if 'e' in cases or 'f' in cases:
    rng = random.Random(5)
    blocks = [bytes(rng.choice(b'abcdefghijklmnopqrstuvwxyz \n') for _ in range(1 << 20)) for _ in range(16)]
    with tarfile.open('big.tar', 'w', format=tarfile.GNU_FORMAT) as t:
        for i in range(1024):
            info = tarfile.TarInfo('d%02d/file%04d.txt' % (i // 64, i))
            info.size = 1 << 20
            info.mtime = 1700000000
            t.addfile(info, io.BytesIO(blocks[i % 16]))
PY
has a && gzip -6 -k -n text.txt
has b && head -c $((96 << 20)) text.txt > part.txt && lzip -3 -k part.txt
{ has e || has f; } && gzip -1 -n big.tar


has a && bench a 'gzip -dc text.txt.gz > /dev/null' "$zorvex cat text.txt.gz/text.txt > /dev/null"
has b && bench b 'lzip -dc part.txt.lz > /dev/null' "$zorvex cat part.txt.lz/part.txt > /dev/null"
has c && bench c 'bsdtar -tf many.tar > /dev/null' "$zorvex list -r many.tar > /dev/null"
has d && bench d '7zz l zeros.bz2 > /dev/null' "$zorvex list zeros.bz2 > /dev/null"
has e && bench e '7zz l big.tar.gz > /dev/null' "$zorvex list big.tar.gz > /dev/null"
has f && bench f 'bsdtar -tf big.tar.gz > /dev/null' "$zorvex list -r big.tar.gz > /dev/null"

python3 - <<'PY'
import os
from compare import compare

for key, title, peer_name, size in (
        ('a', 'gzip decoding', 'gzip -dc', 'text.txt'),
        ('b', 'lzip decoding', 'lzip -dc', 'part.txt'),
        ('c', 'listing a tar of 100,000 files', 'bsdtar -tf', None),
        ('d', 'listing a .bz2 of 20 GiB of zeros', '7zz l', None),
        ('e', 'listing a 1 GiB .tar.gz', '7zz l', None),
        ('f', 'listing the files of a 1 GiB .tar.gz', 'bsdtar -tf', None)):
    if key in os.environ['CASES'].split():
        compare(key, title, peer_name, os.path.getsize(size) if size else 0)
PY
