#!/usr/bin/env bash
# Runs every benchmark script in bench/ (arguments are passed to each).
set -euo pipefail
cd "$(dirname "$0")"
status=0
for script in *.sh; do
    [[ "$script" == run.sh ]] && continue
    echo "== bench/$script"
    bash "$script" "$@" || status=1
done
exit $status
