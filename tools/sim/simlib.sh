# Shell helpers for scripts and tests that run tarvel-sim as a separate process. Source it, set SIM to the
# simulator's path, then:
#   start_sim WORKDIR NPTYS ARGS...   starts it, waits until it is ready (converter listening
#                                     when ARGS name one, NPTYS pty paths printed); sets
#                                     SIM_PID and PTYS (array of the pty paths)
#   stop_sim                          stops it (also done on exit)
#   fail MESSAGE                      prints MESSAGE and the simulator's log, exits 1

SIM_PID=
SIM_LOG=
PTYS=()

stop_sim() {
    if [ -n "$SIM_PID" ]; then
        kill "$SIM_PID" 2>/dev/null || true
        wait "$SIM_PID" 2>/dev/null || true
        SIM_PID=
    fi
}
trap stop_sim EXIT

fail() {
    echo "FAIL: $*" >&2
    if [ -n "$SIM_LOG" ] && [ -s "$SIM_LOG" ]; then
        echo "--- simulator log" >&2
        cat "$SIM_LOG" >&2
    fi
    exit 1
}

start_sim() {
    local work=$1 nptys=$2
    shift 2
    local converter=0 a
    for a in "$@"; do
        case $a in --ip | --a | --b | --c | --d | --io) converter=1 ;; esac
    done
    [ "$nptys" -gt 0 ] || converter=1
    mkdir -p "$work"
    SIM_LOG=$work/sim.log
    "$SIM" "$@" >"$work/sim.out" 2>"$SIM_LOG" &
    SIM_PID=$!
    local _
    for _ in $(seq 150); do
        kill -0 "$SIM_PID" 2>/dev/null || fail "tarvel-sim $* did not start"
        if { [ "$converter" -eq 0 ] || grep -q "converter on" "$SIM_LOG"; } &&
            [ "$(wc -l <"$work/sim.out")" -ge "$nptys" ]; then
            mapfile -t PTYS <"$work/sim.out"
            return 0
        fi
        sleep 0.1
    done
    fail "tarvel-sim $* was not ready within 15 s"
}
