#!/bin/bash
# Runs a Windows program under Wine against native peers: tarvel-sim serves a converter on a
# loopback address (channel A: weight 12.34, tare 1.00; B the same, one frame every 1.5 s) and
# a 5817 showing 50.0 on a pseudo-terminal, which the Wine prefix names COM<n> through a
# dosdevices link.
#   run-wine.sh host   TARVEL_SIM WINE_RUN HOST_EXE DLL   the C host (host.c) loading the DLL
#   run-wine.sh tarvel TARVEL_SIM WINE_RUN TARVEL_EXE     tarvel.exe, the command-line reader
set -euo pipefail
what=$1 SIM=$2 wine_run=$3 exe=$4
# shellcheck source=../../tools/sim/simlib.sh
source "$(dirname "$0")/../../tools/sim/simlib.sh"
if [ "$what" = host ]; then ip=127.0.0.239 com=41; else ip=127.0.0.238 com=42; fi
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

start_sim "$work" 1 --ip "$ip" --a 5817:weight=1234,tare=100,dec=4 \
    --b 5817:weight=1234,tare=100,dec=4,period=1500 --pty 5817:weight=500,dec=3 --seconds 300
ln -sfn "${PTYS[0]}" "$link"
if [ "$what" = host ]; then
    "$wine_run" "$exe" "$5" "$ip" "$com"
    exit
fi

# The weights match any decimal separator ('.' in the patterns): Wine's locale decides it.
run() {
    local want=$1
    shift
    local rc=0
    text=$("$wine_run" "$exe" "$@" 2>&1 | tr -d '\r') || rc=$?
    echo "$ tarvel $* -> $rc"
    echo "$text"
    [ "$rc" -eq "$want" ] || fail "exit status $rc, expected $want"
}

run 0 version
grep -q 'Tarvel6' <<<"$text" || fail "no product name"
run 0 read --model 5817 --tcp "$ip:A"
grep -Eq '^net +12.34$' <<<"$text" || fail "net weight"
grep -Eq '^tare +1.00$' <<<"$text" || fail "tare weight"
run 0 read --model 5817 --serial "COM$com"
grep -Eq '^net +50.0$' <<<"$text" || fail "serial net weight"
run 5 read --model 5817 --tcp 127.0.0.237:A --quiet # nothing listens there
run 64 read --model 5817
echo "tarvel.exe: all checks passed"
