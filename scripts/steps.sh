# Sourced by the test scripts: `step NAME` ends the step before it with its
# time and starts the next.
step_start=0
step() {
    local now
    now=$(date +%s)
    [[ $step_start != 0 ]] && echo "== done in $((now - step_start)) s"
    step_start=$now
    echo "== $*"
}
