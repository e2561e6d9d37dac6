#!/bin/bash
# Runs the Windows host program against native peers: tarvel-sim serves a converter on a
# loopback address and an indicator on a pseudo-terminal, which the Wine prefix's COM port
# names through a dosdevices link.
#   run-host.sh TARVEL_SIM WINE_RUN HOST_EXE DLL
set -euo pipefail
sim=$1 wine_run=$2 host=$3 dll=$4
ip=127.0.0.239
com=41
: "${WINEPREFIX:=${HOME:-/root}/.wine-tarvel}"
export WINEPREFIX
link="$WINEPREFIX/dosdevices/com$com"
out=$(mktemp)
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    rm -f "$link" "$out"
}
trap cleanup EXIT

"$sim" --ip "$ip" \
    --a 5817:weight=1234,tare=100,dec=4 \
    --b 5817:weight=1234,tare=100,dec=4,period=1500 \
    --pty 5817:weight=500,dec=3 \
    --seconds 300 >"$out" &
pid=$!
pty=
for _ in $(seq 100); do
    pty=$(grep -m1 '^/dev/' "$out" || true)
    [ -n "$pty" ] && break
    kill -0 "$pid" 2>/dev/null || { echo "tarvel-sim stopped" >&2; exit 1; }
    sleep 0.1
done
[ -n "$pty" ] || { echo "tarvel-sim printed no pty" >&2; exit 1; }
ln -sfn "$pty" "$link"
"$wine_run" "$host" "$dll" "$ip" "$com"
