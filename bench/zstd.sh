#!/usr/bin/env bash
# zstd decoding: zorvex beside zstd -dc (single-threaded, as zstd decoding is)
# on the same generated data, in the same run.
#   (a) .zst whose frame states its size (zstd on a file)
#   (b) .zst of a stream, without a stated size (zorvex decodes twice: once to learn the size)
#   (c) .zst of several frames with skippable frames between them
# Usage: bench/zstd.sh [path/to/zorvex]   (default: build/native/tools/zorvex)
# Needs python3, zstd and hyperfine. Takes a minute or two.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
zorvex=$(realpath "${1:-build/native/tools/zorvex}")
need_built "$zorvex"
need_tools python3 zstd hyperfine
enter_workdir

python3 - <<'PY'
import random, struct

# 96 MiB of text-like data with stretches of noise.
rng = random.Random(5)
words = [bytes(rng.choice(b'abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 10))) for _ in range(20000)]
with open('text', 'wb') as f:
    written = 0
    while written < 96 << 20:
        text = b' '.join(rng.choice(words) for _ in range(20000))
        noise = rng.randbytes(len(text) // 8)
        f.write(text + noise)
        written += len(text) + len(noise)
PY
zstd -q -3 -c text > sized.zst
zstd -q -3 -c < text > stream.zst
split -b 16M text part.
for p in part.*; do
    zstd -q -3 -c "$p"
    python3 -c 'import struct, sys; sys.stdout.buffer.write(struct.pack("<II", 0x184D2A5E, 64) + bytes(64))'
done > frames.zst

bench a 'zstd -dc sized.zst > /dev/null' "$zorvex cat sized.zst/sized > /dev/null"
bench b 'zstd -dc stream.zst > /dev/null' "$zorvex cat stream.zst/stream > /dev/null"
bench c 'zstd -dc frames.zst > /dev/null' "$zorvex cat frames.zst/frames > /dev/null"

python3 - <<'PY'
import os
from compare import compare

size = os.path.getsize('text')
for key, title in (('a', '.zst, size stated'), ('b', '.zst, no size stated (zorvex measures it first)'),
                   ('c', '.zst, 6 frames and 6 skippable frames')):
    compare(key, title, 'zstd -dc', size)
PY
