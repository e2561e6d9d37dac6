#!/bin/bash
# Tests the Windows SDK zip as an integrator uses it: unpacks it, compiles implib.c with the
# 32-bit and the 64-bit mingw-w64 compiler against the zip's tarvel6.h and the import library
# of the same bitness (on x86 the link resolves the decorated _Name@N symbols), and runs each
# program beside the zip's DLL under Wine, reading a weight from tarvel-sim; then the zip's
# tarvel.exe of each bitness reads one too. Where this machine runs no 32-bit programs
# (TARVEL_I386_RUNS=0, else scripts/i386-probe.sh finds out), the 32-bit host is compiled and
# linked against the x86 import library but neither it nor the x86 tarvel.exe is run: both are
# named as skipped.
#   sdk-test.sh ZIP TARVEL_SIM WINE_RUN
set -euo pipefail
zip=$(realpath "$1") sim=$2 wine_run=$3
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${TARVEL_I386_RUNS:-}" ]; then
    if bash "$here/../../scripts/i386-probe.sh" >/dev/null; then
        TARVEL_I386_RUNS=1
    else
        TARVEL_I386_RUNS=0
    fi
fi
ip=127.0.0.236
SIM=$sim
# shellcheck source=../../tools/sim/simlib.sh
source "$here/../../tools/sim/simlib.sh"
work=$(mktemp -d)
cleanup() {
    stop_sim
    rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/sdk"
(cd "$work/sdk" && cmake -E tar xf "$zip")
sdk=$work/sdk
for f in README.txt include/tarvel6.h bindings/pascal/Tarvel6.pas \
    x86/Tarvel6.dll x86/Tarvel6.lib x86/tarvel.exe x64/Tarvel6.dll x64/Tarvel6.lib x64/tarvel.exe; do
    [ -f "$sdk/$f" ] || fail "the zip has no $f"
done

start_sim "$work" 0 --ip "$ip" --a 5817:weight=1234,tare=100,dec=4 --seconds 120
for arch in x86:i686 x64:x86_64; do
    dir=$sdk/${arch%%:*} cc=${arch#*:}-w64-mingw32-gcc
    echo "== ${arch%%:*}: $cc against include/ and ${arch%%:*}/Tarvel6.lib"
    "$cc" -std=c11 -Wall -Wextra -Werror -static -I "$sdk/include" "$here/implib.c" \
        "$dir/Tarvel6.lib" -o "$dir/implib.exe" || fail "$cc did not link against the zip"
    echo "ok: implib.c (${arch%%:*}) linked against the zip's import library"
    if [ "${arch%%:*}" = x86 ] && [ "$TARVEL_I386_RUNS" != 1 ]; then
        echo "skipped: implib.exe and tarvel.exe (x86) not run: this machine runs no 32-bit programs"
        continue
    fi
    "$wine_run" "$dir/implib.exe" "$ip" | tr -d '\r' || fail "implib.exe (${arch%%:*})"
    text=$("$wine_run" "$dir/tarvel.exe" read --model 5817 --tcp "$ip:A" --quiet 2>&1 |
        tr -d '\r') || fail "tarvel.exe (${arch%%:*}): $text"
    grep -Eq '^net +12.34$' <<<"$text" || fail "tarvel.exe (${arch%%:*}) net weight: $text"
    echo "ok: tarvel.exe (${arch%%:*}) read the net weight"
done
echo "Windows SDK zip: all checks passed"
