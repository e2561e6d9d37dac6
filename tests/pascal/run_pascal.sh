#!/usr/bin/env bash
# Builds a Pascal program against the import unit bindings/pascal/Tarvel6.pas and the Linux
# library, and runs it against tarvel-sim:
#   run_pascal.sh host|example FPC LIBDIR SIM SRCDIR WORKDIR
# host:    tests/pascal/host.pas checks the unit's calls one by one (127.0.0.230);
# example: bindings/pascal/example.pas must print the simulated weight (127.0.0.231) and fail
#          with its documented codes when nothing listens (127.0.0.232) or arguments are missing.
set -euo pipefail
prog=$1 fpc=$2 libdir=$3 SIM=$4 src=$5 work=$6
# shellcheck source=../../tools/sim/simlib.sh
source "$src/tools/sim/simlib.sh"
export LC_ALL=C LD_LIBRARY_PATH="$libdir"
mkdir -p "$work"
case $prog in
host) source_file=$src/tests/pascal/host.pas ;;
example) source_file=$src/bindings/pascal/example.pas ;;
*) fail "unknown program $prog" ;;
esac
"$fpc" -Mdelphi -Fu"$src/bindings/pascal" -FU"$work" -o"$work/$prog" -Fl"$libdir" "$source_file" \
    >"$work/fpc.log" 2>&1 || { cat "$work/fpc.log"; fail "fpc could not build $prog"; }

if [ "$prog" = host ]; then
    ip=127.0.0.230
    start_sim "$work" 0 --ip $ip --a 5817:weight=12345,tare=500,dec=4
    "$work/host" $ip "    123.45" || fail "host.pas reported failures"
    exit 0
fi

ip=127.0.0.231
start_sim "$work" 0 --ip $ip --a 5817:weight=12345,tare=500,dec=4 --b 5817:weight=999999,over
out=$("$work/example" $ip A) || fail "example exited $? against the simulator: $out"
[ "$out" = "net 123.45 gross 128.45 tare 5.00 status 1NNNNkgN" ] || fail "example printed: $out"
rc=0
out=$("$work/example" $ip b) || rc=$?
[ $rc -eq 3 ] || fail "example exited $rc for an indicator out of range: $out"
rc=0
out=$("$work/example" 127.0.0.232 A) || rc=$?
[ $rc -eq 5 ] || fail "example exited $rc with nothing listening: $out"
rc=0
out=$("$work/example" $ip E) || rc=$?
[ $rc -eq 6 ] || fail "example exited $rc for channel letter E: $out"
rc=0
out=$("$work/example") || rc=$?
[ $rc -eq 64 ] || fail "example exited $rc without arguments: $out"
echo "example: all passed"
