#!/usr/bin/env bash
# The Windows stage of the test command. Installs what is missing (scripts/install-win-deps.sh,
# through sudo when not root), builds the 32-bit DLL (preset "windows", build-win/) and the 64-bit DLL (preset
# "windows-x64", build-win64/) with mingw-w64, runs each preset's tests under Wine, packs the
# Windows SDK zip (scripts/make-windows-sdk.sh, build-dist/) and tests it (tests/win/sdk-test.sh),
# then builds the installer (scripts/make-windows-msi.sh) and installs and removes it silently
# (tests/win/gateway/win_gateway_test.py msi).
#   scripts/test-windows.sh [extra ctest arguments, given to both test runs]
#
# To be quick on two cores: both presets share one native build of the simulator programs
# (build-win-native/) and one Wine prefix with one warm wine server, kept up for the whole
# stage and stopped at its end. The 32-bit tests run while the 64-bit build compiles (at a low
# priority: the tests mostly wait for their peers), and the SDK test while the 64-bit tests
# run (it uses a loopback address of its own). The two test runs never overlap: they use the same
# addresses and COM ports. Prints the time of each part at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS

# Installs what is missing (through sudo when not root) and makes the user's Wine prefix.
bash scripts/install-win-deps.sh
: "${WINEPREFIX:=${HOME:-/root}/.wine-tarvel}"
export WINEPREFIX WINEDEBUG=-all

times=()
part() { # part NAME SECONDS
    times+=("$(printf '%-34s %4d s' "$1" "$2")")
}
# Runs a part in the background into a log file: bg LOG COMMAND...; sets BG_PID.
bg() {
    local log=$1
    shift
    (
        t0=$SECONDS
        rc=0
        "$@" >"$log" 2>&1 || rc=$?
        echo $((SECONDS - t0)) >"$log.time"
        exit $rc
    ) &
    BG_PID=$!
}
# Waits for a background part and shows its output: finish NAME LOG; returns its status.
finish() {
    local rc=0
    wait "$BG_PID" || rc=$?
    echo "== $1"
    cat "$2"
    local took
    took=$(cat "$2.time" 2>/dev/null || true)
    part "$1" "${took:-0}"
    rm -f "$2.time"
    return $rc
}

# One wine server for the stage, warmed up while the first build compiles.
export TARVEL_WINESERVER_PERSIST=600
trap 'wineserver -k 2>/dev/null || true' EXIT
scripts/wine-run.sh cmd /c exit </dev/null >/dev/null 2>&1 &

rc=0

# tarvel-gateway.exe's libraries, built from Debian's source packages the first time and then
# taken from the user's cache (the 64-bit configure would do it too; here it is timed apart).
echo "== libmosquitto, SQLite and libcrypto for x86_64 mingw (scripts/win-deps.sh)"
t0=$SECONDS
bash scripts/win-deps.sh x86_64-w64-mingw32
part "gateway's libraries (Debian sources)" $((SECONDS - t0))

echo "== 32-bit: configure and build (windows)"
t0=$SECONDS
cmake --preset windows >/dev/null
cmake --build --preset windows
part "32-bit build (with native programs)" $((SECONDS - t0))

bg build-win/test-windows.log ctest --preset windows "$@"
echo "== 64-bit: configure and build (windows-x64), while the 32-bit tests run"
t0=$SECONDS
build_rc=0
# At a low priority: the tests get the processor whenever their peers wake them.
cmake --preset windows-x64 >/dev/null &&
    nice -n 15 cmake --build --preset windows-x64 || build_rc=$?
part "64-bit build" $((SECONDS - t0))
finish "32-bit tests under Wine" build-win/test-windows.log || rc=1
[ $build_rc -eq 0 ] || exit $build_rc

echo "== DLL imports"
i686-w64-mingw32-objdump -p build-win/Tarvel6.dll | grep 'DLL Name' | sed 's/^/  x86 /' || true
x86_64-w64-mingw32-objdump -p build-win64/Tarvel6.dll | grep 'DLL Name' | sed 's/^/  x64 /' || true

bg build-win64/test-windows.log ctest --preset windows-x64 "$@"
echo "== Windows SDK zip, while the 64-bit tests run"
t0=$SECONDS
zip=$(bash scripts/make-windows-sdk.sh build-dist | tail -n1) || zip=
part "SDK zip" $((SECONDS - t0))
if [ -f "$zip" ]; then
    echo "$zip"
    t0=$SECONDS
    bash tests/win/sdk-test.sh "$zip" build-win-native/sim/tarvel-sim scripts/wine-run.sh || rc=1
    part "SDK zip test" $((SECONDS - t0))
else
    echo "test-windows: the SDK zip was not made" >&2
    rc=1
fi
echo "== Windows installer (MSI), while the 64-bit tests run"
t0=$SECONDS
msi=$(bash scripts/make-windows-msi.sh build-dist | tail -n1) || msi=
part "MSI" $((SECONDS - t0))
finish "64-bit tests under Wine" build-win64/test-windows.log || rc=1
# After the 64-bit tests: both install the service "tarvel-gateway" in the one prefix.
if [ -f "$msi" ]; then
    echo "$msi ($(du -k "$msi" | cut -f1) KiB)"
    t0=$SECONDS
    python3 tests/win/gateway/win_gateway_test.py msi build-win64/tarvel-gateway.exe \
        scripts/wine-run.sh build-win-native/sim/tarvel-sim build-win64/tests/win/gateway \
        "$msi" || rc=1
    part "MSI test (silent install, removal)" $((SECONDS - t0))
else
    echo "test-windows: the MSI was not made" >&2
    rc=1
fi

echo "== times"
printf '  %s\n' "${times[@]}"
echo "test-windows: finished in $((SECONDS - start)) s (parts in the background overlap)"
exit $rc
