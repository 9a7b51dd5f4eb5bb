# Shared by the bench scripts (sourced from the repository root).

# Exits with a message unless every tool is on PATH.
need_tools() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
    done
}

# Exits with a message unless every program was built.
need_built() {
    local program
    for program in "$@"; do
        [[ -x "$program" ]] || { echo "no $program (build it first)" >&2; exit 1; }
    done
}

# A scratch folder for generated data, removed on exit; the script continues in it.
enter_workdir() {
    # The summaries import bench/compare.py.
    export PYTHONPATH="$PWD/bench${PYTHONPATH:+:$PYTHONPATH}"
    work=$(mktemp -d "${TMPDIR:-/tmp}/zorvex-bench-XXXXXX")
    trap 'rm -rf "$work"' EXIT
    cd "$work"
    echo "generating data in $work ..." >&2
}

# bench NAME COMMAND...: hyperfine over the commands, results in NAME.json.
# The commands run in rounds, one run each per round, so that the machine's
# drift during a case falls on every command alike; NAME.json then holds the
# statistics over all rounds, in hyperfine's own form. Each round starts one
# command further on (A B C, B C A, C A B ...): a run can pay for the one
# before it (its writeback, or on ext4 without a journal the inodes it left
# recently deleted, which every file created next skips one by one), and in a
# fixed order that cost would fall on the same command every time.
# HYPERFINE_OPTIONS adds options; RUNS sets the number of rounds.
bench() {
    local name=$1 round warmup=1 first
    shift
    for ((round = 1; round <= ${RUNS:-5}; round++)); do
        first=$(((round - 1) % $#))
        # shellcheck disable=SC2086
        hyperfine ${HYPERFINE_OPTIONS:-} --style basic --warmup "$warmup" --runs 1 \
            --export-json "$name.round$round.json" "${@:first+1}" "${@:1:first}" >&2
        warmup=0
    done
    python3 -c "import compare; compare.merge_rounds('$name', ${RUNS:-5})"
}

# ./fresh, run before each timed extraction: it leaves an empty folder "out"
# and no dirty pages outstanding (without the sync, the writeback of earlier
# runs' files lands in whichever command runs next and throttles its writes).
# Earlier runs' output is moved aside, not deleted, until the script ends:
# ext4 without a journal skips every inode deleted in the last minute when it
# creates a file, one by one, so deleting it would make each run pay for the
# files of the runs before it, and a command that writes one file (7zz x of
# a .tar.xz writes the tar) would pay nothing.
# Where it may (as root), it then empties the page cache and reads back the
# inputs and the programs given here, with their libraries: the files
# written would otherwise take ever more memory that the virtual machine has
# not been given yet, whose first touch costs several times the copy into it
# and falls on whichever command runs when the cache grows.
#   write_fresh_script PROGRAM...
write_fresh_script() {
    local program path
    for program in "$@" sh bash; do
        path=$(command -v "$program") || continue
        realpath "$path"
        ldd "$path" 2>/dev/null | grep -o '/[^ ]*' || true
    done | sort -u > warm.list
    cat > fresh <<'SH'
mkdir -p spent && if [ -d out ]; then mv out "spent/$(date +%s%N)"; fi && mkdir out && sync
if [ -w /proc/sys/vm/drop_caches ]; then
    echo 1 > /proc/sys/vm/drop_caches
    xargs -a warm.list cat > /dev/null
    find . -maxdepth 1 -type f -exec cat {} + > /dev/null
fi
SH
    chmod +x fresh
}
