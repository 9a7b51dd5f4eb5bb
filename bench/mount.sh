#!/usr/bin/env bash
# zorvex mount beside archivemount, `zorvex list -r` and `zorvex cat`, in the
# same run, on generated data:
#   (a) first listing of a 100,000-file zip through the mount (mount, find | wc -l, unmount)
#   (b) first listing of a 1 GiB .tar.gz the same way
#   (c) random 64 KiB reads in the 1 GiB entry of that .tar.gz once mounted (median, 95th percentile)
#   (d) sequential read of that entry through a fresh mount (mount, cat, unmount), through a mount
#       made before timing (cat alone), and by `zorvex cat`
# Usage: bench/mount.sh [path/to/zorvex]   (default: build/native/tools/zorvex)
# FILES and MIB make the fixtures smaller for a quick try (defaults 100000, 1024).
# Needs /dev/fuse, fuse3, archivemount, python3, pigz and hyperfine; root or a
# user allowed to mount. Takes several minutes; needs about 2 GiB in TMPDIR
# (the mount restarts the gzip decoder from states kept every MiB: no
# scratch copy of the tar).
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
zorvex=$(realpath "${1:-build/native/tools/zorvex}")
need_built "$zorvex"
need_tools python3 pigz hyperfine archivemount fusermount3
[[ -e /dev/fuse ]] || { echo "/dev/fuse is missing (in a container: --device /dev/fuse)" >&2; exit 1; }
"$zorvex" mount --help >/dev/null 2>&1 || { echo "$zorvex was built without libfuse3" >&2; exit 1; }
enter_workdir
mkdir -p mz ma
cleanup_mounts() { fusermount3 -uq "$work/mz" 2>/dev/null || true; fusermount3 -uq "$work/ma" 2>/dev/null || true; }
trap 'cleanup_mounts; rm -rf "$work"' EXIT

python3 - "${FILES:-100000}" "${MIB:-1024}" <<'PY'
import os, random, sys, zipfile
files, size = int(sys.argv[1]), int(sys.argv[2]) << 20
# 100,000 small files in 100 folders.
with zipfile.ZipFile('many.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    for i in range(files):
        z.writestr(f'd{i % 100:02d}/f{i:06d}.txt', f'file {i}\n' * 4)
# A 1 GiB file of text-like data with stretches of noise, and a few small ones.
rng = random.Random(7)
words = [bytes(rng.choice(b'abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 10))) for _ in range(20000)]
os.makedirs('tree', exist_ok=True)
with open('tree/big.bin', 'wb') as f:
    block = b' '.join(rng.choice(words) for _ in range(200000))
    written = 0
    while written < size:
        piece = block[rng.randrange(len(block) // 2):] + rng.randbytes(1 << 16)
        piece = piece[:size - written]
        f.write(piece)
        written += len(piece)
for i in range(100):
    with open(f'tree/small{i}.txt', 'w') as f:
        f.write(f'small {i}\n')
PY
tar cf - -C tree . | pigz -6 > big.tar.gz
rm -rf tree

listing() {  # listing MOUNTER ARCHIVE: mounts, counts the entries, unmounts
    echo "$1 $work/$2 $work/mz && find $work/mz | wc -l >/dev/null && fusermount3 -u $work/mz"
}
bench list_zip "$(listing "$zorvex mount" many.zip)" "$(listing archivemount many.zip)" \
    "$zorvex list -r many.zip >/dev/null"
RUNS=${RUNS:-3} bench list_targz "$(listing "$zorvex mount" big.tar.gz)" "$(listing archivemount big.tar.gz)" \
    "$zorvex list -r big.tar.gz >/dev/null"

# Random reads once mounted and read through once (the first pass).
random_reads() {  # random_reads NAME MOUNTPOINT COUNT
    python3 - "$@" <<'PY'
import os, random, statistics, sys, time
name, mount, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
path = os.path.join(mount, 'big.bin')
fd = os.open(path, os.O_RDONLY)
size = os.fstat(fd).st_size
rng = random.Random(3)
times = []
for _ in range(count):
    offset = rng.randrange(size - (64 << 10))
    # Past the kernel's page cache: each read reaches the file system.
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    start = time.perf_counter()
    os.pread(fd, 64 << 10, offset)
    times.append((time.perf_counter() - start) * 1000)
os.close(fd)
times.sort()
print(f'{name}: {count} random 64 KiB reads: median {statistics.median(times):.2f} ms, '
      f'95th percentile {times[int(len(times) * 0.95) - 1]:.2f} ms')
PY
}
# From a fresh mount: mounting lists the tar, which decodes it whole, and the
# read decodes the entry again from its start.
bench sequential "$zorvex mount $work/big.tar.gz $work/mz && cat $work/mz/big.bin >/dev/null && fusermount3 -u $work/mz" \
    "$zorvex cat $work/big.tar.gz/big.tar/big.bin >/dev/null"
# The read alone, through a mount made (and listed) before each run.
printf '%s\n' "fusermount3 -uq $work/mz 2>/dev/null; $zorvex mount $work/big.tar.gz $work/mz" > remount
chmod +x remount
HYPERFINE_OPTIONS=--prepare=./remount bench mounted "cat $work/mz/big.bin >/dev/null" \
    "$zorvex cat $work/big.tar.gz/big.tar/big.bin >/dev/null"
fusermount3 -u mz
"$zorvex" mount big.tar.gz mz
cat mz/big.bin >/dev/null
random_reads "zorvex mount" mz 1000
fusermount3 -u mz
# archivemount decodes from the entry's start for every read that goes back: fewer reads.
archivemount big.tar.gz ma
cat ma/big.bin >/dev/null
random_reads archivemount ma 20
fusermount3 -u ma

ZORVEX=$zorvex python3 - <<'PY'
import os
from compare import results, line
for key, title in (('list_zip', '100,000-file zip: first listing'), ('list_targz', '1 GiB .tar.gz: first listing'),
                   ('sequential', '1 GiB entry read front to back, mount included'),
                   ('mounted', '1 GiB entry read front to back once mounted (target: mount >= 0.8x zorvex cat)')):
    print(f'\n{title}')
    for r in results(key):
        label = r['command'].replace(os.environ['ZORVEX'], 'zorvex').replace(os.getcwd() + '/', '')
        print(line(label[:72], r, 0, 72))
PY
