#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build, sharing the time given among them,
# and fails on any crash, leak, undefined behaviour or hang.
#   fuzz/run.sh BUILD_DIR SECONDS      e.g. fuzz/run.sh build/fuzz 180
# The seed corpus is made here and now by real archivers (7zz, python3, gzip,
# bzip2, xz, lzip, bsdtar) in a temporary folder, plus the small archives of
# the shared corpus beside the repository when it is there. Each target says
# which seeds it takes (see fuzz/target.h); packed data for the codec targets
# is cut out of the zip seeds.
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
        have xz && xz --format=lzma -c "$seeds/plain.tar" >"$seeds/alone.tlz"
        have zstd && zstd -q -c a.txt >"$seeds/a.txt.zst" && zstd -q -c <"$seeds/plain.tar" >"$seeds/plain.tzst"
        # A zip behind a stub, its offsets relative to the zip.
        [[ -f "$seeds/stored.zip" ]] && { head -c 300 a.txt && cat "$seeds/stored.zip"; } >"$seeds/stub.zip"
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
    make_codec_seeds "$in" "$seeds"
}

# Packed data alone, "NAME.raw-CODEC": the members of every zip seed by
# method, and streams made here for the codecs zip does not use.
make_codec_seeds() {
    python3 - "$1" "$2" <<'PY'
import glob, lzma, os, struct, sys, zlib
inputs, seeds = sys.argv[1], sys.argv[2]
text = open(os.path.join(inputs, "a.txt"), "rb").read()
def put(name, data):
    open(os.path.join(seeds, name), "wb").write(data)
deflate = zlib.compressobj(9, zlib.DEFLATED, -15)
put("text.raw-deflate", deflate.compress(text) + deflate.flush())
alone = lzma.compress(text, format=lzma.FORMAT_ALONE)
put("text.raw-lzma", alone[:5] + alone[13:])
raw2 = lzma.compress(text, format=lzma.FORMAT_RAW, filters=[{"id": lzma.FILTER_LZMA2, "dict_size": 1 << 20}])
put("text.raw-lzma2", bytes([16]) + raw2)
put("text.raw-xz", lzma.compress(text))
machine = open("/bin/ls", "rb").read()[:16384]
for name in ("bcj", "arm", "armt", "ppc", "sparc", "ia64", "delta"):
    put("code.raw-" + name, machine)
# Zip members by method; lzma's 4-byte version and property size go.
methods = {1: "shrink", 2: "reduce", 3: "reduce", 4: "reduce", 5: "reduce", 6: "implode", 8: "deflate",
           9: "deflate64", 12: "bzip2", 14: "lzma", 95: "xz", 97: "wavpack"}
for path in glob.glob(os.path.join(seeds, "*.zip*")):
    data = open(path, "rb").read()
    at = data.find(b"PK\x01\x02")
    n = 0
    while 0 <= at and at + 46 <= len(data) and n < 8:
        flags, method = struct.unpack_from("<HH", data, at + 8)
        packed = struct.unpack_from("<I", data, at + 20)[0]
        lengths = struct.unpack_from("<HHH", data, at + 28)
        local = struct.unpack_from("<I", data, at + 42)[0]
        at = data.find(b"PK\x01\x02", at + 46 + sum(lengths))
        codec = methods.get(method)
        if codec is None or packed == 0 or local + 30 > len(data):
            continue
        start = local + 30 + sum(struct.unpack_from("<HH", data, local + 26))
        member = data[start:start + packed]
        if method == 14:
            member = member[4:]
        # Reduce's factor and Implode's dictionary and tree flags go in front, as their property byte.
        elif 2 <= method <= 5:
            member = bytes([method - 1]) + member
        elif method == 6:
            member = bytes([flags & 6]) + member
        n += 1
        put("%s-%d.raw-%s" % (os.path.basename(path), n, codec), member)
for path in glob.glob(os.path.join(seeds, "*.bz2")):
    put(os.path.basename(path) + ".raw-bzip2", open(path, "rb").read())
PY
}

# Copies into a target's corpus the seeds it asks for, each behind its
# prefix byte when it has one; a target that asks for nothing gets them all.
prefix_seeds() {
    local target=$1 corpus=$2 seed ext kind prefix
    local -A prefixes=()
    while IFS=$'\t' read -r kind prefix; do
        [[ -n $kind ]] && prefixes[${kind,,}]=$prefix
    done < <(ZORVEX_FUZZ_LIST_SEEDS=1 "$target" -runs=0 2>/dev/null)
    for seed in "$work/seeds"/*; do
        ext=".${seed##*.}"
        ext=${ext,,}
        if [[ ${#prefixes[@]} == 0 ]]; then
            cp "$seed" "$corpus/"
        elif [[ -v prefixes[$ext] ]]; then
            prefix=${prefixes[$ext]}
            if [[ -n $prefix ]]; then
                { printf "\\$(printf %03o "$prefix")"; cat "$seed"; } >"$corpus/$(basename "$seed")"
            else
                cp "$seed" "$corpus/"
            fi
        fi
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

targets=()
for target in "$build"/fuzz/fuzz_*; do
    [[ -f $target && -x $target ]] && targets+=("$target")
done
if [[ ${#targets[@]} == 0 ]]; then
    echo "no fuzz target in $build/fuzz" >&2
    exit 1
fi
each=$((seconds / ${#targets[@]}))
((each >= 5)) || each=5

status=0
for target in "${targets[@]}"; do
    name=$(basename "$target")
    corpus=$work/corpus-$name
    mkdir -p "$corpus"
    case $name in
        fuzz_rar50) rar_seeds "$corpus" 50 ;;
        fuzz_rar_old) rar_seeds "$corpus" 15 20 26 ;;
        *) prefix_seeds "$target" "$corpus" ;;
    esac
    echo "== $name: $(ls "$corpus" | wc -l) seeds, ${each}s"
    # A single allocation may reach 4 GiB, the largest dictionary an LZMA
    # header can declare; memory actually used stays bounded by the RSS limit.
    if "$target" -max_total_time="$each" -timeout=25 -rss_limit_mb=2560 -malloc_limit_mb=4200 -max_len=65536 \
        -print_final_stats=1 -artifact_prefix="$build/fuzz/$name-" "$corpus" >"$work/$name.log" 2>&1; then
        grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$work/$name.log" |
            tr '\n' ' ' || true
        echo
    else
        echo "FAILED: $name (artifacts in $build/fuzz/$name-*)"
        tail -n 60 "$work/$name.log"
        status=1
    fi
done
exit $status
