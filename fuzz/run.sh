#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a while and fails on any crash,
# leak, undefined behaviour or hang.
#   fuzz/run.sh BUILD_DIR SECONDS      e.g. fuzz/run.sh build/fuzz 60
# The seed corpus is made here and now by real archivers (7zz, python3, gzip,
# bzip2, xz, lzip, bsdtar) in a temporary folder, plus the small archives of
# the shared corpus beside the repository when it is there.
set -euo pipefail
build=${1:?usage: fuzz/run.sh BUILD_DIR SECONDS}
seconds=${2:?usage: fuzz/run.sh BUILD_DIR SECONDS}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$build" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
have() { command -v "$1" >/dev/null 2>&1; }

make_seeds() {
    local in=$work/in seeds=$work/seeds
    mkdir -p "$in/dir/sub" "$seeds"
    python3 - "$in" <<'PY'
import os, random, sys
root = sys.argv[1]
random.seed(7)
words = [b"archive ", b"stream ", b"entry ", b"folder ", b"\n", b"0123 "]
text = b"".join(random.choice(words) for _ in range(400))
open(os.path.join(root, "a.txt"), "wb").write(text)
open(os.path.join(root, "dir", "b.bin"), "wb").write(bytes(random.getrandbits(8) for _ in range(700)))
open(os.path.join(root, "dir", "sub", "c.txt"), "wb").write(text[:300] * 3)
open(os.path.join(root, "empty"), "wb").close()
PY
    (
        cd "$in"
        if have 7zz; then
            7zz a -bso0 -bsp0 -tzip -mx0 "$seeds/stored.zip" . >/dev/null
            7zz a -bso0 -bsp0 -tzip "$seeds/deflate.zip" . >/dev/null
            7zz a -bso0 -bsp0 -tzip -mm=Deflate64 "$seeds/deflate64.zip" . >/dev/null
            7zz a -bso0 -bsp0 -tzip -mm=BZip2 "$seeds/bzip2.zipx" . >/dev/null
            7zz a -bso0 -bsp0 -tzip -mm=LZMA "$seeds/lzma.zipx" . >/dev/null
            7zz a -bso0 -bsp0 -tzip -mm=PPMd "$seeds/ppmd.zipx" . >/dev/null
            7zz a -bso0 -bsp0 -t7z "$seeds/lzma2.7z" . >/dev/null
            7zz a -bso0 -bsp0 -t7z -m0=LZMA -mf=BCJ2 "$seeds/bcj2.7z" . >/dev/null
            7zz a -bso0 -bsp0 -t7z -m0=PPMd "$seeds/ppmd.7z" . >/dev/null
            7zz a -bso0 -bsp0 -t7z -m0=BZip2 -ms=off "$seeds/bzip2.7z" . >/dev/null
            7zz a -bso0 -bsp0 -t7z -m0=Deflate "$seeds/deflate.7z" . >/dev/null
            7zz a -bso0 -bsp0 -t7z -mf=Delta:2 "$seeds/delta.7z" . >/dev/null
            7zz a -bso0 -bsp0 -t7z -v1k "$work/split.7z" . >/dev/null && cp "$work/split.7z.001" "$seeds/split.001"
            7zz a -bso0 -bsp0 -tzip "$seeds/nested.zip" "$seeds/stored.zip" a.txt >/dev/null
        fi
        python3 - "$seeds" <<'PY'
import io, os, sys, tarfile, zipfile
seeds = sys.argv[1]

class Unseekable(io.RawIOBase):
    """Makes zipfile write data descriptors, as streaming writers do."""
    def __init__(self, f): self.f = f
    def writable(self): return True
    def write(self, b): return self.f.write(b)

with open(os.path.join(seeds, "descriptor.zip"), "wb") as f:
    with zipfile.ZipFile(Unseekable(f), "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("x/one.txt", b"one " * 200)
        z.writestr("two.txt", b"two")
with zipfile.ZipFile(os.path.join(seeds, "zip64.zip"), "w") as z:
    z.comment = b"a comment"
    z.writestr(zipfile.ZipInfo("\u00e9t\u00e9.txt"), b"summer")
    with z.open("forced.txt", "w", force_zip64=True) as e:
        e.write(b"zip64 " * 50)
with tarfile.open(os.path.join(seeds, "plain.tar"), "w", format=tarfile.PAX_FORMAT) as t:
    t.add("a.txt")
    t.add("dir")
with tarfile.open(os.path.join(seeds, "gnu.tar"), "w", format=tarfile.GNU_FORMAT) as t:
    t.add("dir")
PY
        have gzip && gzip -c a.txt >"$seeds/a.txt.gz" && gzip -c "$seeds/plain.tar" >"$seeds/plain.tgz"
        have bzip2 && bzip2 -c a.txt >"$seeds/a.txt.bz2" && bzip2 -c "$seeds/plain.tar" >"$seeds/plain.tbz2"
        have xz && xz -c a.txt >"$seeds/a.txt.xz" && xz --format=lzma -c a.txt >"$seeds/a.txt.lzma" &&
            xz -c "$seeds/plain.tar" >"$seeds/plain.txz"
        have lzip && lzip -c a.txt >"$seeds/a.txt.lz"
        true
    )
    # Real-world archives of every format (rar among them, which nothing here writes).
    local corpus=$root/../shared/corpus
    if [[ -d $corpus ]]; then
        local n=0 f
        while IFS= read -r -d '' f; do
            n=$((n + 1))
            cp "$f" "$seeds/corpus$n-$(basename "$f")"
        done < <(find "$corpus/" -type f -size -24k ! -name '*.tsv' ! -name '*.md' -print0)
    fi
}

# Copies the seeds into a target's corpus, each behind the byte that makes the
# target pick the seed's extension.
prefix_seeds() {
    local target=$1 corpus=$2 seed ext i
    local -a extensions
    mapfile -t extensions < <(ZORVEX_FUZZ_LIST_EXTENSIONS=1 "$target" -runs=0 2>/dev/null | tr 'A-Z' 'a-z')
    for seed in "$work/seeds"/*; do
        ext=".${seed##*.}"
        ext=${ext,,}
        for i in "${!extensions[@]}"; do
            if [[ ${extensions[$i]} == "$ext" ]]; then
                { printf "\\$(printf %03o "$i")"; cat "$seed"; } >"$corpus/$(basename "$seed")"
                break
            fi
        done
    done
}

# The RAR decoder targets take packed data behind a control byte and the
# unpacked size (fuzz/rar_decoder.h): their seeds are the corpus's RAR entries
# of the given versions, found by tests/rar_packed.py.
rar_seeds() {
    local corpus=$1 shared=$root/../shared/corpus
    shift
    [[ -d $shared ]] || return 0
    python3 - "$root/tests/rar_packed.py" "$corpus" "$shared" "$@" <<'PY'
import glob, os, subprocess, sys
script, out, shared, versions = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
for path in glob.glob(shared + '/rar*/*.rar'):
    data = open(path, 'rb').read()
    listing = subprocess.run([sys.executable, script, path], capture_output=True, text=True).stdout
    for n, line in enumerate(listing.splitlines()):
        fields = line.split('\t')
        if len(fields) < 9:
            continue
        offset, packed, size, _, version = (int(x) for x in fields[1:6])
        if str(version) not in versions or not 0 < size <= 65536 or packed > 65536:
            continue
        control = 1 if version in (20, 26) else 0
        seed = bytes([control, (size - 1) & 0xFF, (size - 1) >> 8]) + data[offset:offset + packed]
        open(os.path.join(out, '%s-%d' % (os.path.basename(path), n)), 'wb').write(seed)
PY
}

make_seeds
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

status=0
ran=0
for target in "$build"/fuzz/fuzz_*; do
    [[ -f $target && -x $target ]] || continue
    name=$(basename "$target")
    corpus=$work/corpus-$name
    mkdir -p "$corpus"
    case $name in
        fuzz_rar50) rar_seeds "$corpus" 50 ;;
        fuzz_rar_old) rar_seeds "$corpus" 15 20 26 ;;
        *) prefix_seeds "$target" "$corpus" ;;
    esac
    echo "== $name: $(ls "$corpus" | wc -l) seeds, ${seconds}s"
    # A single allocation may reach 4 GiB, the largest dictionary an LZMA
    # header can declare; memory actually used stays bounded by the RSS limit.
    if "$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2560 -malloc_limit_mb=4200 -max_len=65536 \
        -print_final_stats=1 -artifact_prefix="$build/fuzz/$name-" "$corpus" >"$work/$name.log" 2>&1; then
        grep -E '^(#[0-9]+\s+INITED|Done|stat::(number_of_executed_units|average_exec_per_sec|slowest_unit_time_sec|peak_rss_mb))' "$work/$name.log" || true
        ran=$((ran + 1))
    else
        echo "FAILED: $name (artifacts in $build/fuzz/$name-*)"
        tail -n 60 "$work/$name.log"
        status=1
    fi
done
if [[ $ran == 0 && $status == 0 ]]; then
    echo "no fuzz target in $build/fuzz" >&2
    exit 1
fi
exit $status
