#!/usr/bin/env bash
# Deflate64, bzip2 and WavPack decoding: zorvex beside its peers on the same
# generated data, in the same run.
#   (a) Deflate64 zip entry, zorvex cat     vs  7zz e -so -mmt1
#   (b) bzip2 zip entry, zorvex cat         vs  bzip2 -dc of the same stream
#   (c) backward seek to 10% of a 200 MB bzip2 entry after a full read, beside
#       the full read and the mean time per block
#   (d) WavPack zip entry (method 97)       vs  wvunpack to /dev/null
# Usage: bench/codecs3.sh [build dir]   (default: build/native)
# Needs python3, 7zz, bzip2, wavpack, hyperfine. Takes a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
build=$(realpath "${1:-build/native}")
zorvex=$build/tools/zorvex
seeker=$build/bench/bzip2_seek
need_built "$zorvex" "$seeker"
need_tools python3 7zz bzip2 wavpack wvunpack hyperfine
RUNS=${RUNS:-3}
enter_workdir


python3 - <<'PY'
import random, zipfile

# Text-like data with long repeats at all distances.
rng = random.Random(3)
words = [bytes(rng.choice(b'abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 10))) for _ in range(8000)]
chunk = b' '.join(rng.choice(words) for _ in range(300000)) + b'\n'
def text(path, size):
    with open(path, 'wb') as f:
        written = 0
        while written < size:
            piece = bytearray(chunk)
            for _ in range(20):
                piece[rng.randrange(len(piece))] = rng.randrange(256)
            f.write(piece)
            written += len(piece)
text('text.bin', 128 << 20)
text('big.bin', 200 << 20)
with zipfile.ZipFile('bzip2.zip', 'w', zipfile.ZIP_BZIP2, compresslevel=9) as z:
    z.write('text.bin')
with zipfile.ZipFile('bzip2big.zip', 'w', zipfile.ZIP_BZIP2, compresslevel=9) as z:
    z.write('big.bin')
PY
7zz a -tzip -mm=Deflate64 -mx5 deflate64.zip text.bin >/dev/null
bzip2 -9 -k -c text.bin > text.bin.bz2
python3 -m wavpack_zip

bench a "7zz e -so -mmt1 deflate64.zip > /dev/null" "$zorvex cat deflate64.zip/text.bin > /dev/null"
bench b "bzip2 -dc text.bin.bz2 > /dev/null" "$zorvex cat bzip2.zip/text.bin > /dev/null"
bench d "wvunpack -q -y audio.wv -o - > /dev/null" "$zorvex cat wavpack.zip/audio.wav > /dev/null"
"$zorvex" cat deflate64.zip/text.bin | cmp - text.bin
"$zorvex" cat bzip2.zip/text.bin | cmp - text.bin
"$zorvex" cat wavpack.zip/audio.wav | cmp - audio.wav
"$seeker" bzip2big.zip/big.bin 0.1 > seek.txt

python3 - <<'PY'
import json, os

# Wall-clock means, and CPU time (user + system): on a busy machine the
# latter is the steadier figure.
def means(name):
    with open(name + '.json') as f:
        return [(r['mean'], r['user'] + r['system']) for r in json.load(f)['results']]

def line(label, times, size, peer=None, target=None):
    wall, cpu = times
    text = f'    {label:<22} {wall:7.3f} s  {size / wall / 2**20:8.1f} MiB/s  cpu {cpu:7.3f} s'
    if peer is not None:
        text += f'   ratio {peer[0] / wall:.2f}x, by cpu {peer[1] / cpu:.2f}x (target >= {target})'
    print(text)

size = os.path.getsize('text.bin')
peer, ours = means('a')
print(f'(a) Deflate64, {size / 2**20:.0f} MiB of output')
line('7zz e -so -mmt1', peer, size)
line('zorvex cat', ours, size, peer, '0.80')

peer, ours = means('b')
print(f'\n(b) bzip2 -9, {size / 2**20:.0f} MiB of output')
line('bzip2 -dc', peer, size)
line('zorvex cat', ours, size, peer, '0.95')

total, full, seek = open('seek.txt').read().split()
total, full, seek = int(total), float(full), float(seek)
blocks = -(-total // 900000)
print(f'\n(c) bzip2 -9 entry of {total / 2**20:.0f} MiB (about {blocks} blocks)')
print(f'    full read              {full:7.3f} s   ({full / blocks * 1000:.1f} ms per block)')
print(f'    seek back to 10% + 64 KiB read   {seek * 1000:7.1f} ms   = {seek / (full / blocks):.2f} blocks '
      f'(target < 2)')

size = os.path.getsize('audio.wav')
peer, ours = means('d')
print(f'\n(d) WavPack 16-bit stereo, {size / 2**20:.0f} MiB of output')
line('wvunpack', peer, size)
line('zorvex cat', ours, size, peer, '1.00')
PY
