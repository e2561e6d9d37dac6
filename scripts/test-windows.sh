#!/usr/bin/env bash
# The Windows stage of the test command. Installs what is missing (scripts/install-win-deps.sh,
# through sudo when not root), builds the 32-bit DLL (preset "windows", build-win/) and the
# 64-bit DLL (preset "windows-x64", build-win64/) with mingw-w64, runs each preset's tests
# under Wine, packs the Windows SDK zip (scripts/make-windows-sdk.sh, build-dist/) and tests
# it (tests/win/sdk-test.sh), then builds the installer (scripts/make-windows-msi.sh) and
# installs and removes it silently (tests/win/gateway/win_gateway_test.py msi).
#   scripts/test-windows.sh [extra ctest arguments, given to both test runs]
#
# First it decides, once for the whole stage, whether this machine runs 32-bit programs (some
# kernels run none: scripts/i386-probe.sh tries an i386 program), says so in one line, and
# passes the answer on as TARVEL_I386_RUNS (1 or 0; set it beforehand to decide instead) to
# the Wine prefix, the builds and scripts/wine-run.sh.
#   - They run: both presets' tests run under Wine, the SDK zip's programs of both bitnesses
#     too.
#   - They do not: the prefix is made and every program run by wine64. The 32-bit DLL,
#     tarvel.exe and the C host programs are still built (the GoogleTest programs are not:
#     nothing could run them), and `ctest --preset windows` runs the checks that read the DLL
#     without running it (its exports and imports, each export's calling convention); the
#     tests that would run a 32-bit program are registered disabled, so ctest lists them as not
#     run, and this script names them as skipped. The SDK test links the 32-bit C host against
#     the zip's x86 import library but runs only the 64-bit programs. The 64-bit stage runs in
#     full.
#
# To be quick on two cores: both presets share one native build of the simulator programs
# (build-win-native/; with TARVEL_NATIVE_BUILD=DIR, a Linux build folder of this project,
# the programs are taken from there instead of compiled again) and one Wine prefix with one
# warm wine server, kept up for the whole stage and stopped at its end (with whatever an
# earlier server of the prefix left running, at the start too). The 32-bit tests run while
# the 64-bit build compiles (at a low priority: the tests mostly wait for their peers), and
# the SDK test while the 64-bit tests run (it uses a loopback address of its own); where
# 32-bit programs do not run, the 64-bit stage comes first and the 32-bit build and its checks
# run beside the 64-bit tests. The two test runs never overlap: they use the same addresses
# and COM ports. Prints the time of each part at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS

. scripts/parts.sh

# Installs what is missing (through sudo when not root).
t0=$SECONDS
bash scripts/install-win-deps.sh --packages
# Whether 32-bit programs run here: decided once, now that the i386 packages are there.
if [ -n "${TARVEL_I386_RUNS:-}" ]; then
    case $TARVEL_I386_RUNS in
    1) echo "32-bit programs: runnable on this machine (TARVEL_I386_RUNS=1, as given)" ;;
    0) echo "32-bit programs: not runnable on this machine (TARVEL_I386_RUNS=0, as given);" \
        "the 32-bit DLL is built and checked statically" ;;
    *)
        echo "test-windows: TARVEL_I386_RUNS is 1 or 0, not '$TARVEL_I386_RUNS'" >&2
        exit 64
        ;;
    esac
elif line=$(bash scripts/i386-probe.sh); then
    echo "$line"
    TARVEL_I386_RUNS=1
else
    echo "$line"
    TARVEL_I386_RUNS=0
fi
export TARVEL_I386_RUNS
# The user's Wine prefix, made for that answer.
bash scripts/install-win-deps.sh --prefix
part "packages and Wine prefix" $((SECONDS - t0))
: "${WINEPREFIX:=${HOME:-/root}/.wine-tarvel}"
export WINEPREFIX WINEDEBUG=-all

# Stops this prefix's wine server and its programs, and ends what an earlier server left
# behind: a Windows program of this prefix whose server has gone is stuck for good (seen after
# a run, as services.exe, explorer.exe /desktop and test programs), and wine-run.sh would take
# such a desktop for this server's.
ours() { # the pids of Windows programs of this prefix
    local pid
    for pid in $(pgrep -f '\.exe|^[A-Z]:\\' || true); do
        tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
            echo "$pid"
    done
}
stop_wine() {
    wineserver -k 2>/dev/null || true
    local left=()
    # Those the server had end within a moment.
    [ -z "$(ours)" ] || sleep 1
    mapfile -t left < <(ours)
    if [ ${#left[@]} -gt 0 ]; then
        echo "test-windows: ending ${#left[@]} program(s) of $WINEPREFIX left without a wine server"
        kill -9 "${left[@]}" 2>/dev/null || true
    fi
}

# One wine server for the stage, warmed up while the first build compiles.
export TARVEL_WINESERVER_PERSIST=600
stop_wine
trap stop_wine EXIT
scripts/wine-run.sh cmd /c exit </dev/null >/dev/null 2>&1 &

# The native programs beside Wine: from a Linux build of this project when TARVEL_NATIVE_BUILD
# names one (scripts/test.sh passes build/), else built in build-win-native/.
native=()
if [ -n "${TARVEL_NATIVE_BUILD:-}" ]; then
    native=(-DTARVEL_NATIVE_BUILD="$TARVEL_NATIVE_BUILD")
fi

rc=0
skipped=()
imports() {
    echo "== DLL imports"
    i686-w64-mingw32-objdump -p build-win/Tarvel6.dll | grep 'DLL Name' | sed 's/^/  x86 /' || true
    x86_64-w64-mingw32-objdump -p build-win64/Tarvel6.dll | grep 'DLL Name' | sed 's/^/  x64 /' || true
}

# tarvel-gateway.exe's libraries, built from Debian's source packages the first time and then
# taken from the user's cache (the 64-bit configure would do it too; here it is timed apart).
echo "== libmosquitto, SQLite and libcrypto for x86_64 mingw (scripts/win-deps.sh)"
t0=$SECONDS
bash scripts/win-deps.sh x86_64-w64-mingw32
part "gateway's libraries (Debian sources)" $((SECONDS - t0))

if [ "$TARVEL_I386_RUNS" = 1 ]; then
    echo "== 32-bit: configure and build (windows)"
    t0=$SECONDS
    cmake --preset windows "${native[@]}" >/dev/null
    cmake --build --preset windows
    part "32-bit build (with native programs)" $((SECONDS - t0))

    bg build-win/test-windows.log ctest --preset windows "$@"
    echo "== 64-bit: configure and build (windows-x64), while the 32-bit tests run"
    t0=$SECONDS
    build_rc=0
    # At a low priority: the tests get the processor whenever their peers wake them.
    cmake --preset windows-x64 "${native[@]}" >/dev/null &&
        nice -n 15 cmake --build --preset windows-x64 || build_rc=$?
    part "64-bit build" $((SECONDS - t0))
    finish "32-bit tests under Wine" build-win/test-windows.log || rc=1
    [ $build_rc -eq 0 ] || exit $build_rc
    imports
    bg build-win64/test-windows.log ctest --preset windows-x64 "$@"
else
    # The 64-bit stage first: its tests run while the 32-bit DLL is built and checked.
    echo "== 64-bit: configure and build (windows-x64)"
    t0=$SECONDS
    cmake --preset windows-x64 "${native[@]}" >/dev/null
    cmake --build --preset windows-x64
    part "64-bit build (with native programs)" $((SECONDS - t0))

    bg build-win64/test-windows.log ctest --preset windows-x64 "$@"
    echo "== 32-bit: configure and build (windows), while the 64-bit tests run"
    t0=$SECONDS
    build_rc=0
    cmake --preset windows "${native[@]}" >/dev/null && nice -n 15 cmake --build --preset windows || build_rc=$?
    part "32-bit build" $((SECONDS - t0))
    if [ $build_rc -ne 0 ]; then
        finish "64-bit tests under Wine" build-win64/test-windows.log || true
        exit $build_rc
    fi
    # Only the checks that read the DLL run; the tests that run a 32-bit program are disabled
    # in this build and listed by ctest as not run.
    echo "== 32-bit: the checks that read the DLL without running it"
    t0=$SECONDS
    nice -n 15 ctest --preset windows "$@" || rc=1
    part "32-bit static checks" $((SECONDS - t0))
    # The disabled tests, by name, from the build's own list.
    mapfile -t skipped < <(ctest --preset windows --show-only=json-v1 | python3 -c '
import json, sys
for t in json.load(sys.stdin)["tests"]:
    if any(p["name"] == "DISABLED" and p["value"] for p in t.get("properties", [])):
        print(t["name"])')
    skipped+=("SDK zip: x86 implib.exe and tarvel.exe")
    imports
fi

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
if [ ${#skipped[@]} -gt 0 ]; then
    echo "== skipped: this machine runs no 32-bit programs, so these did not run (not counted as passed):"
    printf '  %s\n' "${skipped[@]}"
fi
echo "test-windows: finished in $((SECONDS - start)) s (parts in the background overlap)"
exit $rc
