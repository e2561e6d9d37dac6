#!/bin/bash
# Runs the Windows build of the command-line reader, tarvel.exe, under Wine against native
# peers: a converter channel on a loopback address and an indicator on a pseudo-terminal that
# the Wine prefix names as a COM port.
#   run-tarvel.sh TARVEL_SIM WINE_RUN TARVEL_EXE
set -euo pipefail
sim=$1 wine_run=$2 tarvel=$3
ip=127.0.0.238
com=42
SIM=$sim
# shellcheck source=../../tools/sim/simlib.sh
source "$(dirname "$0")/../../tools/sim/simlib.sh"
: "${WINEPREFIX:=${HOME:-/root}/.wine-tarvel}"
export WINEPREFIX
link="$WINEPREFIX/dosdevices/com$com"
work=$(mktemp -d)
cleanup() {
    stop_sim
    rm -f "$link"
    rm -rf "$work"
}
trap cleanup EXIT

start_sim "$work" 1 --ip "$ip" --a 5817:weight=1234,tare=100,dec=4 --pty krt:weight=500,dec=3 \
    --seconds 120
ln -sfn "${PTYS[0]}" "$link"

# The weights match any decimal separator ('.' in the patterns): Wine's locale decides it.
run() {
    local want=$1
    shift
    local rc=0
    text=$("$wine_run" "$tarvel" "$@" 2>&1 | tr -d '\r') || rc=$?
    echo "$ tarvel $* -> $rc"
    echo "$text"
    [ "$rc" -eq "$want" ] || fail "exit status $rc, expected $want"
}

run 0 version
grep -q 'Tarvel6' <<<"$text" || fail "no product name"
run 0 read --model 5817 --tcp "$ip:A"
grep -Eq '^net +12.34$' <<<"$text" || fail "net weight"
grep -Eq '^tare +1.00$' <<<"$text" || fail "tare weight"
run 0 read --model krt --serial "COM$com"
grep -Eq '^net +50.0$' <<<"$text" || fail "serial net weight"
run 5 read --model 5817 --tcp 127.0.0.237:A --quiet # nothing listens there
run 64 read --model 5817
echo "tarvel.exe: all checks passed"
