#!/usr/bin/env bash
# Whole-command speed beside the peers, every row in the same run, with the
# peak memory of each command:
#   (a-c)  extract a 72 MB tar.bz2 / tar.xz / tar.gz of 275 files  vs  tar -xf
#   (d)    cat a 72 MB .bz2                                        vs  lbzip2 -n1 -dc
#   (e)    cat a 72 MB .lzma (no stored size)                      vs  7zz e -so -mmt1
#   (f, g) deflate in a zip / in a .gz                             vs  igzip -dc
#   (h)    bzip2 in a zip                                          vs  7zz e -so -mmt1
#   (i)    WavPack in a zip                                        vs  wvunpack
#   (j)    listing a 72 MB tar of 256 KiB files                    vs  bsdtar -tvf
#   (x*)   zorvex extract beside tar -xf, 7zz x and bsdtar -xf on tar, tar.gz,
#          tar.bz2, tar.xz, zip (many small files; a few big files; not tar -xf,
#          which reads no zip) and single
#          .gz/.bz2/.xz files (beside 7zz x and the format's own tool)
# Usage: [CASES="a j x"] [RUNS=n] [BEFORE=path/to/older/zorvex] bench/speed.sh [path/to/zorvex]
#        (default zorvex: build/native/tools/zorvex; CASES picks rows by their
#        first letter, "x" all extraction rows; BEFORE adds an older build to
#        every row, for before/after figures from one run)
# Takes ten minutes or more on a busy machine.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
zorvex=$(realpath "${1:-build/native/tools/zorvex}")
need_built "$zorvex"
before=${BEFORE:+$(realpath "$BEFORE")}
[[ -z "$before" ]] || need_built "$before"
need_tools python3 tar bsdtar 7zz gzip bzip2 xz lbzip2 igzip wavpack wvunpack hyperfine /usr/bin/time
RUNS=${RUNS:-3}
export CASES="${CASES:-a b c d e f g h i j x}"
enter_workdir

python3 - <<'PY'
import os, random

# Text-like data with repeats at all distances, 275 files of 256 KiB.
rng = random.Random(16)
words = [bytes(rng.choice(b'abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 10))) for _ in range(8000)]
chunk = b' '.join(rng.choice(words) for _ in range(60000)) + b'\n'
def text(size):
    out = bytearray()
    while len(out) < size:
        piece = bytearray(chunk)
        for _ in range(8):
            piece[rng.randrange(len(piece))] = rng.randrange(256)
        out += piece
    return bytes(out[:size])
os.makedirs('tree', exist_ok=True)
with open('big.bin', 'wb') as whole:
    for i in range(275):
        data = text(256 << 10)
        open(f'tree/file{i:03d}.txt', 'wb').write(data)
        whole.write(data)
os.makedirs('small', exist_ok=True)
for i in range(5000):
    open(f'small/s{i:04d}.txt', 'wb').write(text(rng.randint(200, 8000)))
os.makedirs('few', exist_ok=True)
for i in range(4):
    open(f'few/part{i}.bin', 'wb').write(text(18 << 20))
PY
tar -cf t.tar tree
gzip -6 -k t.tar
bzip2 -9 -k t.tar
xz -3 -T1 -k t.tar
gzip -6 -k big.bin
bzip2 -9 -k big.bin
xz -3 -T1 -k big.bin
xz --format=lzma -3 -c < big.bin > big.bin.lzma
7zz a -tzip -mm=Deflate -mx5 deflate.zip big.bin >/dev/null
7zz a -tzip -mm=BZip2 -mx9 -mmt1 bzip2.zip big.bin >/dev/null
7zz a -tzip -mm=Deflate -mx5 small.zip small >/dev/null
7zz a -tzip -mm=Deflate -mx5 few.zip few >/dev/null
python3 -m wavpack_zip

# row KEY TITLE PEER-LABEL PEER-COMMAND [LABEL COMMAND]... : one benchmark, zorvex last.
# Extraction commands run in a fresh folder "out".
row() {
    local key=$1 title=$2
    shift 2
    [[ " $CASES " == *" ${key:0:1} "* ]] || return 0
    local labels=() commands=()
    while (($# >= 2)); do
        labels+=("$1")
        commands+=("$2")
        shift 2
    done
    if [[ -n "$before" ]]; then
        commands+=("${zorvex_command//$zorvex/$before}")
        labels+=(before)
    fi
    commands+=("$zorvex_command")
    labels+=(zorvex)
    HYPERFINE_OPTIONS=--prepare=./fresh bench "$key" "${commands[@]}"
    local i peaks=()
    for i in "${!commands[@]}"; do
        ./fresh
        /usr/bin/time -f %M -o peak bash -c "${commands[$i]}" >/dev/null 2>&1 || true
        peaks+=("$(tail -n 1 peak)")
    done
    printf '%s\t%s\t%s\t%s\n' "$key" "$title" "$(IFS=,; echo "${labels[*]}")" "$(IFS=,; echo "${peaks[*]}")" >> rows.tsv
}
write_fresh_script "$zorvex" ${before:+"$before"} tar bsdtar 7zz gzip bzip2 xz lbzip2 igzip wvunpack
z=$zorvex
x() { zorvex_command="cd out && $z extract ../$1 > /dev/null"; }
c() { zorvex_command="$z cat $1 > /dev/null"; }

x t.tar.bz2; row a 'extract tar.bz2' 'tar -xf' 'cd out && tar -xf ../t.tar.bz2'
x t.tar.xz;  row b 'extract tar.xz' 'tar -xf' 'cd out && tar -xf ../t.tar.xz'
x t.tar.gz;  row c 'extract tar.gz' 'tar -xf' 'cd out && tar -xf ../t.tar.gz'
c big.bin.bz2/big.bin;   row d 'cat .bz2' 'lbzip2 -n1 -dc' 'lbzip2 -n1 -dc big.bin.bz2 > /dev/null'
c big.bin.lzma/big.bin;  row e 'cat .lzma (no size)' '7zz e -so' '7zz e -so -mmt1 big.bin.lzma > /dev/null'
c deflate.zip/big.bin;   row f 'deflate in a zip' 'igzip -dc' 'igzip -dc big.bin.gz > /dev/null'
c big.bin.gz/big.bin;    row g 'deflate in a .gz' 'igzip -dc' 'igzip -dc big.bin.gz > /dev/null'
c bzip2.zip/big.bin;     row h 'bzip2 in a zip' '7zz e -so' '7zz e -so -mmt1 bzip2.zip > /dev/null'
c wavpack.zip/audio.wav; row i 'WavPack in a zip' 'wvunpack' 'wvunpack -q -y audio.wv -o - > /dev/null'
zorvex_command="$z list t.tar > /dev/null"
row j 'listing a tar of 256 KiB files' 'bsdtar -tvf' 'bsdtar -tvf t.tar > /dev/null'
for archive in t.tar t.tar.gz t.tar.bz2 t.tar.xz small.zip few.zip; do
    x $archive
    # GNU tar does not read zip files.
    tar_peer=('tar -xf' "cd out && tar -xf ../$archive")
    [[ $archive == *.zip ]] && tar_peer=()
    row "x-$archive" "extract $archive" \
        "${tar_peer[@]}" \
        '7zz x' "cd out && 7zz x -mmt1 ../$archive > /dev/null" \
        'bsdtar -xf' "cd out && bsdtar -xf ../$archive"
done
for tool in gzip bzip2 xz; do
    archive=big.bin.$( [[ $tool == gzip ]] && echo gz || ([[ $tool == bzip2 ]] && echo bz2 || echo xz))
    x $archive
    row "x-$archive" "extract $archive" \
        "$tool -dc" "cd out && $tool -dc ../$archive > big.bin" \
        '7zz x' "cd out && 7zz x -mmt1 ../$archive > /dev/null"
done
"$zorvex" cat big.bin.gz/big.bin | cmp - big.bin
"$zorvex" cat deflate.zip/big.bin | cmp - big.bin

python3 - <<'PY'
import json
# Ratios are peer time / zorvex time: above 1 means zorvex is faster. Wall
# time on a shared machine includes waiting; CPU time is printed beside it.
# Times are medians over the rounds (bench/compare.py tells why).
for line in open('rows.tsv'):
    key, title, labels, peaks = line.rstrip('\n').split('\t')
    results = json.load(open(key + '.json'))['results']
    ours = results[-1]
    print(f'\n({key}) {title}')
    for label, r, peak in zip(labels.split(','), results, peaks.split(',')):
        ratio = '' if r is ours else f'   ratio {r["median"] / ours["median"]:.2f}x'
        print(f'    {label:<16} {r["median"]:7.3f} s  CPU {r["user"] + r["system"]:6.3f} s'
              f'  peak {int(peak) // 1024 if peak.isdigit() else "?":>5} MiB{ratio}')
PY
