#!/usr/bin/env bash
# RAR extraction benchmark: `zorvex extract` of the corpus archives of rar/
# and rar5/ beside unar and bsdtar in the same run.
#   (a) every archive with file rows (first volumes only)   vs  unar
#   (b) the archives whose every file row bsdtar agrees on   vs  bsdtar -xf
#   (c) peak resident memory extracting the largest RAR 2.9 archive (LZ + PPMd)
# Usage: bench/rar.sh [path/to/zorvex]   (default: build/native/tools/zorvex)
# Needs the corpus beside the repository, unar, bsdtar, python3, hyperfine and /usr/bin/time.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
zorvex=$(realpath "${1:-build/native/tools/zorvex}")
corpus=$(realpath ../shared/corpus)
root=$(pwd)
need_built "$zorvex"
need_tools unar bsdtar python3 hyperfine /usr/bin/time
[[ -f "$corpus/MANIFEST.tsv" ]] || { echo "no corpus at $corpus" >&2; exit 1; }
enter_workdir

# Archive lists: all.list for (a), bsdtar.list for (b), with the output size of each.
python3 - "$corpus" <<'PY'
import collections, sys
corpus = sys.argv[1]
files = collections.defaultdict(list)
for line in open(f'{corpus}/MANIFEST.tsv', encoding='utf-8').read().splitlines()[1:]:
    cols = (line.split('\t') + [''] * 8)[:8]
    archive, kind, size, peers = cols[0], cols[1], cols[3], cols[6]
    if archive.split('/')[0] in ('rar', 'rar5') and kind == 'file':
        files[archive].append((int(size or 0), peers.split(',')))
def later_volume(name):
    import re
    m = re.search(r'\.part0*(\d+)\.rar$', name)
    return m is not None and m.group(1) != '1'
chosen = sorted(a for a in files if not later_volume(a))
with open('all.list', 'w') as f:
    f.writelines(f'{corpus}/{a}\n' for a in chosen)
with open('bsdtar.list', 'w') as f:
    f.writelines(f'{corpus}/{a}\n' for a in chosen if all('bsdtar' in p for _, p in files[a]))
for name in ('all', 'bsdtar'):
    listed = [l.strip()[len(corpus) + 1:] for l in open(f'{name}.list')]
    total = sum(s for a in listed for s, _ in files[a])
    open(f'{name}.bytes', 'w').write(str(total))
PY

# Each run extracts every listed archive into a fresh folder; failures of
# single archives (damaged rows, a peer's gaps) do not stop the run.
extract_all() {
    local list=$1 tool=$2
    echo "rm -rf out && mkdir out && while read -r a; do $tool; done < $list; true"
}
bench a "$(extract_all all.list 'unar -q -f -o out "$a" >/dev/null 2>&1 || true')" \
        "$(extract_all all.list "$zorvex"' extract --overwrite -C out "$a" >/dev/null 2>&1 || true')"
bench b "$(extract_all bsdtar.list 'bsdtar -xf "$a" -C out >/dev/null 2>&1 || true')" \
        "$(extract_all bsdtar.list "$zorvex"' extract --overwrite -C out "$a" >/dev/null 2>&1 || true')"
big="$corpus/rar/test_read_format_rar_ppmd_lzss_conversion.rar"
rm -rf out && mkdir out && /usr/bin/time -f '%M' -o rss.zorvex "$zorvex" extract -C out "$big" >/dev/null
rm -rf out && mkdir out && /usr/bin/time -f '%M' -o rss.unar unar -q -o out "$big" >/dev/null

PYTHONPATH="$root/bench" python3 - <<'PY'
from compare import compare

for key, title, peer, target in (('a', 'all archives', 'unar', 2.0), ('b', "bsdtar's archives", 'bsdtar', 1.0)):
    size = int(open(('all' if key == 'a' else 'bsdtar') + '.bytes').read())
    count = sum(1 for _ in open(('all' if key == 'a' else 'bsdtar') + '.list'))
    compare(key, f'{title}: {count} archives', peer, size, target=target)

def mib(name):
    return int(open('rss.' + name).read().split()[-1]) / 1024
# A 4 MiB window plus the PPMd model the archive asks for.
print('\n(c) peak resident memory, RAR 2.9 LZ + PPMd, 230 MiB of output')
print(f'    unar         {mib("unar"):7.1f} MiB')
print(f'    zorvex       {mib("zorvex"):7.1f} MiB')
PY
