#!/usr/bin/env bash
# The main job: reads weighing indicators through the library with the `tarvel` reader.
#
#   bash scripts/run.sh            no hardware named: starts the simulator on 127.0.0.1 (a
#                                  converter with a 5817, a KRT, an MSI 3360 and an MSI 6260 on
#                                  channels A-D and its IO port; an Ohaus on a pseudo-terminal),
#                                  reads each one, prints a table and stops the simulator.
#                                  Exit 0 when every reading succeeded.
#   bash scripts/run.sh ARGS...    real hardware: the arguments go to `tarvel`, for example
#                                  bash scripts/run.sh read --model 5817 --tcp 192.168.0.50:A
#                                  bash scripts/run.sh watch --model ohaus --serial /dev/ttyUSB0
#
# Installs what is missing and builds (preset "linux", folder build/) first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

log=$(mktemp)
if ! { cmake --preset linux && cmake --build --preset linux --target Tarvel6 tarvel tarvel-sim; } \
    >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    echo "run.sh: the build failed" >&2
    exit 1
fi
rm -f "$log"
tarvel=build/tools/cli/tarvel
sim=build/tools/sim/tarvel-sim

if [ $# -gt 0 ]; then
    exec "$tarvel" "$@"
fi

# ---- the simulator ----------------------------------------------------------------------------
ip=127.0.0.1
work=$(mktemp -d)
SIM=$sim
# shellcheck source=../tools/sim/simlib.sh
source tools/sim/simlib.sh
cleanup() {
    stop_sim
    rm -rf "$work"
}
trap cleanup EXIT

echo "No hardware named: reading the simulator (tarvel-sim) on $ip."
# Returns once the converter listens and the pty's path is out.
start_sim "$work" 1 --ip "$ip" \
    --a 5817:weight=12345,tare=500,dec=4,net \
    --b krt:weight=2500,dec=3,neg \
    --c msi3360:gross=12.50,net=12.50,tare=0.00,unit=kg \
    --d msi6260:gross=10.00,tare=2.00,net=8.00 \
    --io --in 5 \
    --pty ohaus:weight=-1.5,dec=2 \
    --seconds 300
pty=${PTYS[0]}

# ---- one reading of each indicator ---------------------------------------------------------------
failures=0
printf '%-8s %-28s %-20s %10s %10s %10s  %s\n' model transport result gross net tare status
printf '%s\n' "-------------------------------------------------------------------------------------------------------"
read_one() { # MODEL TRANSPORT-OPTION VALUE
    local model=$1 out rc=0
    out=$("$tarvel" read --model "$model" "$2" "$3" 2>"$work/err") || rc=$?
    field() { awk -v k="$1" '$1 == k { $1 = ""; sub(/^ +/, ""); print; exit }' <<<"$out"; }
    local result channel
    result=$(field result)
    channel=$(field channel)
    [ -n "$result" ] || result="exit $rc: $(head -n1 "$work/err")"
    printf '%-8s %-28s %-20s %10s %10s %10s  %s\n' "$model" "${2#--} ${channel:-$3}" "$result" \
        "$(field gross)" "$(field net)" "$(field tare)" "$(field status | cut -c1-8)"
    [ "$rc" -eq 0 ] || failures=$((failures + 1))
}
read_one 5817 --tcp "$ip:A"
read_one krt --tcp "$ip:B"
read_one msi3360 --tcp "$ip:C"
read_one msi6260 --tcp "$ip:D"
read_one ohaus --serial "$pty"

echo "(Ohaus: the displayed weight is the net text, gross and tare read EEEEEEEEEE; MSI 6260: each"
echo " poll takes one labelled ticket line, here GROSS, so its other fields read EEEEEEE.)"
echo
if inputs=$("$tarvel" dio in --tcp "$ip" 2>&1); then
    echo "digital inputs of the converter at $ip: ${inputs#inputs }"
else
    echo "digital inputs of the converter at $ip: failed ($inputs)"
    failures=$((failures + 1))
fi

echo
if [ "$failures" -eq 0 ]; then
    echo "All readings succeeded. For real hardware: bash scripts/run.sh read --model MODEL --tcp ADDRESS:LETTER"
    echo "(or --serial DEVICE); see build/tools/cli/tarvel --help."
    exit 0
fi
echo "$failures reading(s) failed." >&2
exit 1
