#!/usr/bin/env bash
# RAR 5.0 key derivation beside a peer in the same run: each command derives
# the key of a corpus archive with the default cost (2^15 PBKDF2 rounds) and
# reads little else, so the derivation and the program's start decide. The
# peer is 7zz where its build reads RAR, else lsar (Debian's 7zz has no RAR
# codecs).
#   (a) listing an archive whose headers are encrypted
#   (b) testing an archive whose two files are encrypted
# Usage: bench/rar_password.sh [path/to/zorvex]   (default: build/native/tools/zorvex)
# Needs the corpus beside the repository, 7zz or lsar, python3 and hyperfine.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
zorvex=$(realpath "${1:-build/native/tools/zorvex}")
corpus=$(realpath ../shared/corpus)
need_built "$zorvex"
need_tools python3 hyperfine
[[ -f "$corpus/MANIFEST.tsv" ]] || { echo "no corpus at $corpus" >&2; exit 1; }
enter_workdir
headers="$corpus/rar5/rar5-hpsw.rar"
files="$corpus/rar5/rar5-psw.rar"

if command -v 7zz >/dev/null && 7zz i | grep -qw Rar5; then
    peer=7zz list_peer="7zz l -ppassword" test_peer="7zz t -ppassword"
else
    need_tools lsar
    peer=lsar list_peer="lsar -p password" test_peer="lsar -t -p password"
fi

# Short commands: many rounds, so that the medians settle.
export RUNS=${RUNS:-30}
bench a "$list_peer '$headers' >/dev/null" "'$zorvex' list -p password '$headers' >/dev/null"
bench b "$test_peer '$files' >/dev/null" "'$zorvex' test -p password '$files' >/dev/null"

PEER=$peer python3 - <<'PY'
import os
from compare import compare
compare('a', 'list, headers encrypted: one key derivation', os.environ['PEER'], 0)
compare('b', 'test, two encrypted files of one salt', os.environ['PEER'], 0)
PY
