#!/usr/bin/env bash
# Builds the 32-bit Windows DLL with mingw-w64 and runs the Windows tests under Wine:
# installs what is missing (scripts/install-win-deps.sh, needs root), configures and builds
# the "windows" preset (build-win/, with the native simulator programs in build-win/native)
# and runs its tests.
#   scripts/test-windows.sh [extra ctest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS

if [ "$(id -u)" = 0 ]; then
    bash scripts/install-win-deps.sh
elif ! command -v i686-w64-mingw32-g++-posix >/dev/null || ! command -v wine >/dev/null; then
    echo "test-windows: mingw-w64 or Wine missing; run scripts/install-win-deps.sh as root" >&2
    exit 1
fi
: "${WINEPREFIX:=${HOME:-/root}/.wine-tarvel}"
export WINEPREFIX WINEDEBUG=-all
[ -f "$WINEPREFIX/system.reg" ] || bash scripts/install-win-deps.sh

echo "== configure (windows preset)"
cmake --preset windows >/dev/null
echo "== build"
cmake --build --preset windows
echo "== DLL imports"
i686-w64-mingw32-objdump -p build-win/Tarvel6.dll | grep 'DLL Name' || true
echo "== tests under Wine"
rc=0
ctest --preset windows "$@" || rc=$?
echo "test-windows: finished in $((SECONDS - start)) s"
exit $rc
