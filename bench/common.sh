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
# HYPERFINE_OPTIONS adds options; RUNS sets the run count.
bench() {
    local name=$1
    shift
    # shellcheck disable=SC2086
    hyperfine ${HYPERFINE_OPTIONS:-} --style basic --warmup 1 --runs "${RUNS:-5}" --export-json "$name.json" "$@" >&2
}
