#!/usr/bin/env bash
# RAR 5.0 key derivation beside 7zz in the same run: each command derives the
# key of a corpus archive with the default cost (2^15 PBKDF2 rounds) and
# reads little else, so the derivation and the program's start decide.
#   (a) listing an archive whose headers are encrypted   vs  7zz l
#   (b) testing an archive whose two files are encrypted  vs  7zz t
# Usage: bench/rar_password.sh [path/to/zorvex]   (default: build/native/tools/zorvex)
# Needs the corpus beside the repository, 7zz, python3 and hyperfine.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
zorvex=$(realpath "${1:-build/native/tools/zorvex}")
corpus=$(realpath ../shared/corpus)
need_built "$zorvex"
need_tools 7zz python3 hyperfine
[[ -f "$corpus/MANIFEST.tsv" ]] || { echo "no corpus at $corpus" >&2; exit 1; }
enter_workdir
headers="$corpus/rar5/rar5-hpsw.rar"
files="$corpus/rar5/rar5-psw.rar"

# Short commands: many rounds, so that the medians settle.
export RUNS=${RUNS:-30}
bench a "7zz l -ppassword '$headers' >/dev/null" "'$zorvex' list -p password '$headers' >/dev/null"
bench b "7zz t -ppassword '$files' >/dev/null" "'$zorvex' test -p password '$files' >/dev/null"

python3 - <<'PY'
from compare import compare
compare('a', 'list, headers encrypted: one key derivation', '7zz', 0)
compare('b', 'test, two encrypted files of one salt', '7zz', 0)
PY
