#!/usr/bin/env bash
# Foundation benchmarks: zorvex beside its peers on the same generated data,
# in the same run.
#   (a) a 1 GiB stored zip entry to /dev/null  vs  cat of the same bytes
#   (b) deflate decoding                        vs  7zz e -so -mmt1
#   (c) listing 10k/30k/100k entries in one folder and 100k over 1,000 folders
#                                               vs  7zz l
#   (d) list -r --json of 100k entries          vs  plain list -r of the same zip
# Usage: [CASES="a b c d"] bench/foundation.sh [path/to/zorvex]
#        (default zorvex: build/native/tools/zorvex; CASES picks the cases to run)
# Needs python3, 7zz, hyperfine and GNU time. Takes a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
zorvex=$(realpath "${1:-build/native/tools/zorvex}")
need_built "$zorvex"
need_tools python3 7zz hyperfine /usr/bin/time
HYPERFINE_OPTIONS="-N --output=null"
enter_workdir

export CASES="${CASES:-a b c d}"
has() { [[ " $CASES " == *" $1 "* ]]; }

python3 - <<'PY'
import os, random, zipfile, zlib

# (a) 1 GiB of incompressible bytes, as a plain file and as a stored entry.
def stored():
    block = random.Random(1).randbytes(16 << 20)
    with open('big.bin', 'wb') as f:
        for _ in range(64):
            f.write(block)
    with zipfile.ZipFile('stored.zip', 'w', zipfile.ZIP_STORED) as z, z.open('big.bin', 'w') as e:
        for _ in range(64):
            e.write(block)
    # How a file was written shapes its pages in the cache (the zip's small
    # header writes leave smaller ones), which alone makes reading it about a
    # third slower. Dropping both from the cache lets the warm-up runs bring
    # them back in the same way, by reading.
    for name in ('big.bin', 'stored.zip'):
        fd = os.open(name, os.O_RDONLY)
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        os.close(fd)

# (b) 256 MiB of text-like data, deflated at the usual level.
def deflated():
    rng = random.Random(2)
    words = [bytes(rng.choice(b'abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 10)))
             for _ in range(5000)]
    chunk = b' '.join(rng.choice(words) for _ in range(400000)) + b'\n'
    with zipfile.ZipFile('deflate.zip', 'w', zipfile.ZIP_DEFLATED, compresslevel=6) as z, \
            z.open('text.txt', 'w') as e:
        written = 0
        while written < 256 << 20:
            piece = bytearray(chunk)
            piece[rng.randrange(len(piece))] = 0x41  # keep chunks from being exact repeats
            e.write(piece)
            written += len(piece)

# (c) many small entries.
def many(name, count, folders):
    with zipfile.ZipFile(name, 'w', zipfile.ZIP_STORED) as z:
        for i in range(count):
            path = 'f%04d/entry%06d.txt' % (i % folders, i) if folders else 'entry%06d.txt' % i
            z.writestr(zipfile.ZipInfo(path, (2024, 1, 2, 3, 4, 6)), b'x')

cases = os.environ['CASES'].split()
if 'a' in cases:
    stored()
if 'b' in cases:
    deflated()
if 'c' in cases:
    many('flat10k.zip', 10000, 0)
    many('flat30k.zip', 30000, 0)
    many('flat100k.zip', 100000, 0)
    many('tree100k.zip', 100000, 1000)
elif 'd' in cases:
    many('flat100k.zip', 100000, 0)
PY

# hyperfine prints its own report; the JSON feeds the table at the end. The
# commands run without a shell, their output going to /dev/null.

if has a; then
    bench a 'cat big.bin' "$zorvex cat stored.zip/big.bin"
fi
peak() {  # peak resident set in KiB of a command
    /usr/bin/time -v bash -c "$1" 2>&1 >/dev/null | awk -F': ' '/Maximum resident/ {print $2}'
}
if has b; then
    bench b "7zz e -so -mmt1 deflate.zip" "$zorvex cat deflate.zip/text.txt"
    echo "$(peak "$zorvex cat deflate.zip/text.txt > /dev/null")" > rss-zorvex-b
    echo "$(peak "7zz e -so -mmt1 deflate.zip > /dev/null")" > rss-7zz-b
fi
if has c; then
    for z in flat10k flat30k flat100k tree100k; do
        bench "c-$z" "7zz l $z.zip" "$zorvex list -r $z.zip"
    done
    echo "$(peak "$zorvex list -r flat100k.zip > /dev/null")" > rss-zorvex-c
    echo "$(peak "7zz l flat100k.zip > /dev/null")" > rss-7zz-c
fi
has d && bench d "$zorvex list -r flat100k.zip" "$zorvex list -r --json flat100k.zip"

python3 - <<'PY'
import json, os, zipfile

cases = os.environ['CASES'].split()

def means(name):
    with open(name + '.json') as f:
        return [r['mean'] for r in json.load(f)['results']]

def rss(name):
    return int(open(name).read()) / 1024

if 'a' in cases:
    size_a = os.path.getsize('big.bin')
    peer, ours = means('a')
    print('\n(a) 1 GiB stored entry to /dev/null')
    print(f'    cat          {peer:7.3f} s  {size_a / peer / 2**20:8.0f} MiB/s')
    print(f'    zorvex cat   {ours:7.3f} s  {size_a / ours / 2**20:8.0f} MiB/s'
          f'   ratio {peer / ours:.2f}x (target >= 0.90)')

if 'b' in cases:
    with zipfile.ZipFile('deflate.zip') as z:
        size_b = z.getinfo('text.txt').file_size
    peer, ours = means('b')
    print(f'\n(b) deflate decoding, {size_b / 2**20:.0f} MiB of output')
    print(f'    7zz -mmt1    {peer:7.3f} s  {size_b / peer / 2**20:8.0f} MiB/s  peak RSS {rss("rss-7zz-b"):6.1f} MiB')
    print(f'    zorvex cat   {ours:7.3f} s  {size_b / ours / 2**20:8.0f} MiB/s  peak RSS {rss("rss-zorvex-b"):6.1f} MiB'
          f'   ratio {peer / ours:.2f}x (target >= 1.00, RSS < 64 MiB)')

if 'c' in cases:
    print('\n(c) listing (7zz l vs zorvex list -r)')
    print('    archive          entries    7zz l   zorvex   ratio   zorvex us/entry')
    for name, n in (('flat10k', 10000), ('flat30k', 30000), ('flat100k', 100000), ('tree100k', 100000)):
        peer, ours = means('c-' + name)
        print(f'    {name:<14} {n:9d} {peer:7.3f}s {ours:7.3f}s  {peer / ours:5.2f}x  {ours / n * 1e6:8.2f}')
    print(f'    peak RSS, flat100k: 7zz {rss("rss-7zz-c"):.1f} MiB, zorvex {rss("rss-zorvex-c"):.1f} MiB')

if 'd' in cases:
    plain, json_listing = means('d')
    print('\n(d) listing 100k entries as JSON (flat100k.zip)')
    print(f'    list -r          {plain:7.3f} s')
    print(f'    list -r --json   {json_listing:7.3f} s   ratio {json_listing / plain:.2f}x (target <= 1.20)')
PY
