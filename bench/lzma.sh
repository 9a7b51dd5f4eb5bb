#!/usr/bin/env bash
# LZMA, LZMA2 and xz decoding benchmarks: zorvex beside 7zz and xz on the same
# generated data, in the same run.
#   (a) .lzma with its size stored           vs  7zz e -so -mmt1
#   (b) .lzma without a stored size          vs  7zz e -so -mmt1   (zorvex decodes twice: once to learn the size)
#   (c) LZMA in a zip (method 14, by 7zz)    vs  7zz e -so -mmt1
#   (d) .xz (LZMA2)                          vs  xz -dc -T1 and 7zz e -so -mmt1
#   (e) peak resident memory decoding an .xz with a 64 MiB dictionary (limit: dictionary + 16 MiB)
# Usage: bench/lzma.sh [path/to/zorvex]   (default: build/native/tools/zorvex)
# Needs python3, xz, 7zz, hyperfine and /usr/bin/time. Takes a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
zorvex=$(realpath "${1:-build/native/tools/zorvex}")
need_built "$zorvex"
need_tools python3 xz 7zz hyperfine /usr/bin/time
enter_workdir


python3 - <<'PY'
import random

# 48 MiB of text-like data with stretches of noise, and 80 MiB of the same kind
# (it needs more than 64 MiB to fill a 64 MiB dictionary).
rng = random.Random(3)
words = [bytes(rng.choice(b'abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 10))) for _ in range(20000)]
def write(name, size):
    with open(name, 'wb') as f:
        written = 0
        while written < size:
            text = b' '.join(rng.choice(words) for _ in range(20000))
            noise = rng.randbytes(len(text) // 8)
            f.write(text + noise)
            written += len(text) + len(noise)
write('text', 48 << 20)
write('big', 80 << 20)
PY
xz -T1 -6 -k -c text > text.xz
xz --format=lzma -6 -c text > nosize.lzma
# The same stream with its size stored in the header, as encoders that know it write.
python3 - <<'PY'
import os
data = bytearray(open('nosize.lzma', 'rb').read())
data[5:13] = os.path.getsize('text').to_bytes(8, 'little')
open('sized.lzma', 'wb').write(data)
PY
mkdir zip && cp text zip/text && (cd zip && 7zz a -tzip -mm=LZMA -mx=5 -mmt1 -bso0 -bsp0 ../text.zip text)
xz -T1 --lzma2=preset=1,dict=64MiB -k -c big > big.xz


bench a '7zz e -so -mmt1 sized.lzma > /dev/null' "$zorvex cat sized.lzma/sized > /dev/null"
bench b '7zz e -so -mmt1 nosize.lzma > /dev/null' "$zorvex cat nosize.lzma/nosize > /dev/null"
bench c '7zz e -so -mmt1 text.zip > /dev/null' "$zorvex cat text.zip/text > /dev/null"
bench d 'xz -dc -T1 text.xz > /dev/null' '7zz e -so -mmt1 text.xz > /dev/null' "$zorvex cat text.xz/text > /dev/null"
/usr/bin/time -f '%M' -o rss.zorvex "$zorvex" cat big.xz/big > /dev/null
/usr/bin/time -f '%M' -o rss.xz xz -dc -T1 big.xz > /dev/null
/usr/bin/time -f '%M' -o rss.7zz 7zz e -so -mmt1 big.xz > /dev/null

python3 - <<'PY'
import json, os

# Wall time and user CPU time: on a busy machine the CPU time is the steadier figure.
def means(name):
    with open(name + '.json') as f:
        return [(r['mean'], r['user']) for r in json.load(f)['results']]

def line(label, times, size):
    wall, user = times
    return f'    {label:<22} {wall:7.3f} s  {size / wall / 2**20:6.0f} MiB/s  (user {user:6.3f} s)'

size = os.path.getsize('text')
for key, title, peers in (
        ('a', '.lzma, size stored', ['7zz e -so -mmt1']),
        ('b', '.lzma, size not stored (zorvex measures it first)', ['7zz e -so -mmt1']),
        ('c', 'zip method 14 (LZMA)', ['7zz e -so -mmt1']),
        ('d', '.xz (LZMA2)', ['xz -dc -T1', '7zz e -so -mmt1'])):
    times = means(key)
    ours = times[-1]
    print(f'\n({key}) {title}, {size / 2**20:.0f} MiB of output')
    for name, peer in zip(peers, times):
        print(line(name, peer, size) + f'   zorvex ratio {peer[0] / ours[0]:.2f}x wall, '
              f'{peer[1] / ours[1]:.2f}x cpu (target >= 1.00)')
    print(line('zorvex', ours, size))

def kib(name):
    return int(open('rss.' + name).read().split()[-1])
limit = (64 << 10) + (16 << 10)
print(f'\n(e) peak resident memory, .xz with a 64 MiB dictionary, {os.path.getsize("big") / 2**20:.0f} MiB of output')
for name in ('xz', '7zz'):
    print(f'    {name:<22} {kib(name) / 1024:7.1f} MiB')
print(f'    {"zorvex":<22} {kib("zorvex") / 1024:7.1f} MiB   limit {limit / 1024:.0f} MiB: '
      + ('within' if kib('zorvex') <= limit else 'OVER'))
PY
