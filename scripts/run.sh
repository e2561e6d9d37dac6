#!/usr/bin/env bash
# The main job: reads indicators through the library and prints every value it gets.
#
#   scripts/run.sh                      simulated converter on 127.0.0.1 with a 5817, a KRT,
#                                       an MSI 3360 and an MSI 6260 on channels A-D, an Ohaus
#                                       on a pseudo-terminal mapped to COM5, and digital inputs
#   scripts/run.sh --ip 192.168.0.50 --channel A --model 5817 [--polls 3] ...
#                                       real hardware: the arguments go to tarvel-read
#   TARVEL_COM1=/dev/ttyUSB0 scripts/run.sh --com 1 --model ohaus
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target Tarvel6 tarvel-read tarvel-sim >/dev/null
read_bin=build/tools/cli/tarvel-read
sim_bin=build/tools/sim/tarvel-sim

if [ $# -gt 0 ]; then
    exec "$read_bin" "$@"
fi

echo "No hardware named: reading the built-in simulator."
ptys=$(mktemp)
"$sim_bin" --ip 127.0.0.1 \
    --a 5817:weight=12345,tare=500,dec=4,net \
    --b krt:weight=2500,dec=3,neg \
    --c msi3360:gross=12.50,net=--------,tare=0.00,unit=kg \
    --d msi6260:gross=10.00,tare=2.00,net=8.00 \
    --io --in 5 --pty ohaus:weight=-1.5,dec=2 --seconds 120 >"$ptys" &
sim=$!
trap 'kill $sim 2>/dev/null || true; rm -f "$ptys"' EXIT
for _ in $(seq 50); do [ -s "$ptys" ] && break; sleep 0.1; done
export TARVEL_COM5
TARVEL_COM5=$(head -n1 "$ptys")
status=0
"$read_bin" --ip 127.0.0.1 --inputs \
    --channel A --model 5817 --channel B --model krt \
    --channel C --model msi3360 --channel D --model msi6260 \
    --com 5 --model ohaus --polls 2 || status=$?
"$read_bin" --ip 127.0.0.1 --channel A --model 5817 --stable 5 || status=$?
exit $status
