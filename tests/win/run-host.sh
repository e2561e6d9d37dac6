#!/bin/bash
# Runs the Windows host program against native peers: tarvel-sim serves a converter on a
# loopback address and an indicator on a pseudo-terminal, which the Wine prefix's COM port
# names through a dosdevices link.
#   run-host.sh TARVEL_SIM WINE_RUN HOST_EXE DLL
set -euo pipefail
sim=$1 wine_run=$2 host=$3 dll=$4
ip=127.0.0.239
com=41
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

start_sim "$work" 1 --ip "$ip" \
    --a 5817:weight=1234,tare=100,dec=4 \
    --b 5817:weight=1234,tare=100,dec=4,period=1500 \
    --pty 5817:weight=500,dec=3 \
    --seconds 300
ln -sfn "${PTYS[0]}" "$link"
"$wine_run" "$host" "$dll" "$ip" "$com"
