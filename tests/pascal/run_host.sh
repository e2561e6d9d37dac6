#!/usr/bin/env bash
# Builds the Pascal host against the import unit and runs it against the simulator.
#   run_host.sh FPC LIBDIR SIM SRCDIR WORKDIR
set -euo pipefail
fpc=$1 libdir=$2 sim=$3 src=$4 work=$5
ip=127.0.0.230
mkdir -p "$work"
"$fpc" -Mdelphi -Fu"$src/bindings/pascal" -FU"$work" -o"$work/host" -Fl"$libdir" "$src/tests/pascal/host.pas" >"$work/fpc.log" 2>&1 \
    || { cat "$work/fpc.log"; exit 1; }
"$sim" --ip $ip --a 5817:weight=12345,tare=500,dec=4 --seconds 60 2>/dev/null &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null || true' EXIT
sleep 0.5
LD_LIBRARY_PATH="$libdir" LC_ALL=C "$work/host" $ip "    123.45"
