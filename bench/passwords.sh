#!/usr/bin/env bash
# Decrypting while decoding: zorvex beside 7zz (one thread) on the same
# 100 MB of generated data, in the same run.
#   (a) 7z, AES-256 and LZMA2 (headers plain)
#   (b) zip, AES-256 and deflate
# Usage: bench/passwords.sh [path/to/zorvex]   (default: build/native/tools/zorvex)
# Needs python3, 7zz and hyperfine. Takes a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
zorvex=$(realpath "${1:-build/native/tools/zorvex}")
need_built "$zorvex"
need_tools python3 7zz hyperfine
enter_workdir

python3 - <<'PY'
import random

# 100 MB of text-like data with stretches of noise.
rng = random.Random(11)
words = [bytes(rng.choice(b'abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 10))) for _ in range(20000)]
with open('data', 'wb') as f:
    written = 0
    while written < 100_000_000:
        text = b' '.join(rng.choice(words) for _ in range(20000))
        noise = rng.randbytes(len(text) // 8)
        f.write(text + noise)
        written += len(text) + len(noise)
PY
7zz a -bso0 -bsp0 -t7z -m0=LZMA2 -mx=5 -mhe=off -pbench-password a.7z data
7zz a -bso0 -bsp0 -tzip -mm=Deflate -mem=AES256 -pbench-password b.zip data

bench a '7zz e -so -pbench-password -mmt1 a.7z > /dev/null' "$zorvex cat -p bench-password a.7z/data > /dev/null"
bench b '7zz e -so -pbench-password -mmt1 b.zip > /dev/null' "$zorvex cat -p bench-password b.zip/data > /dev/null"

python3 - <<'PY'
import os
from compare import compare

size = os.path.getsize('data')
for key, title in (('a', '7z AES-256 + LZMA2'), ('b', 'zip AES-256 + deflate')):
    compare(key, title, '7zz e -so -mmt1', size)
PY
