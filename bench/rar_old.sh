#!/usr/bin/env bash
# RAR 1.5 and 2.0 decoding: zorvex beside unar's tester, in the same run, on
# the corpus archives of those versions (../shared/corpus beside the
# repository; no program here writes them).
#   (a) zorvex test  vs  lsar -t, one process per archive for both
# The entries are small (at most 56 KiB each), so process start-up weighs in
# on both sides; CPU time is printed beside wall time.
# Usage: bench/rar_old.sh [path/to/zorvex]
# Needs lsar (unar) and hyperfine. Takes under a minute.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
zorvex=$(realpath "${1:-build/native/tools/zorvex}")
corpus=$(realpath ../shared/corpus 2>/dev/null || true)
need_built "$zorvex"
need_tools lsar hyperfine
[[ -d $corpus/rar ]] || { echo "no ../shared/corpus beside the repository" >&2; exit 1; }
enter_workdir

archives=()
for name in Rar15.rar BoatModernEnglish-regular-unpack15-dos.rar BoatModernEnglish-regular-unpack15-win.rar \
    rar15-comment.rar Rar2.rar rar2-unix-owner.rar BoatModernEnglish-regular-unpack20.rar \
    BoatModernEnglish-audio-text-unpack20.rar; do
    archives+=("$corpus/rar/$name")
done
printf 'for a in "$@"; do lsar -t "$a" >/dev/null; done\n' >peer.sh
printf 'for a in "$@"; do "%s" test "$a" >/dev/null; done\n' "$zorvex" >ours.sh
bench a "bash peer.sh ${archives[*]}" "bash ours.sh ${archives[*]}"

python3 - <<'PY'
import json
with open('a.json') as f:
    peer, ours = json.load(f)['results']
cpu = lambda r: r['user'] + r['system']
print('\n(a) RAR 1.5 and 2.0 corpus entries, 8 archives')
print(f'    lsar -t        {peer["mean"]:7.3f} s  CPU {cpu(peer):6.3f} s')
print(f'    zorvex test    {ours["mean"]:7.3f} s  CPU {cpu(ours):6.3f} s   ratio {peer["mean"] / ours["mean"]:.2f}x wall, '
      f'{cpu(peer) / max(cpu(ours), 1e-6):.2f}x CPU (target >= 2.00)')
PY
