# Sourced by scripts/test.sh and scripts/test-windows.sh: the parts of a test command, their
# times, and parts run in the background while another one runs.

times=()
part() { # part NAME SECONDS
    times+=("$(printf '%-50s %4d s' "$1" "$2")")
}
# Runs a part in the background into a log file: bg LOG COMMAND... (finish LOG waits for it).
declare -A bg_pids=()
bg() {
    local log=$1
    shift
    mkdir -p "$(dirname "$log")"
    (
        t0=$SECONDS
        rc=0
        "$@" >"$log" 2>&1 || rc=$?
        echo $((SECONDS - t0)) >"$log.time"
        exit $rc
    ) &
    bg_pids[$log]=$!
}
# Waits for a background part and shows its output: finish NAME LOG; returns its status.
finish() {
    local rc=0
    wait "${bg_pids[$2]}" || rc=$?
    unset "bg_pids[$2]"
    echo "== $1"
    cat "$2"
    local took
    took=$(cat "$2.time" 2>/dev/null || true)
    part "$1" "${took:-0}"
    rm -f "$2.time"
    return $rc
}
