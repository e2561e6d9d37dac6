#!/usr/bin/env bash
# Installs what the 32-bit Windows build and its tests need on a Debian machine:
# the mingw-w64 i686 cross compiler, Wine (32-bit) to run the test programs, and a
# ready Wine prefix. Idempotent; run as root; non-interactive.
#
#   WINEPREFIX   prefix to initialise (default: $HOME/.wine-tarvel)
#
# Timings on the 2-core CI machine: packages about 35 s (apt-get update included), the
# prefix about 10 s; a second run does nothing.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
export WINEDEBUG=-all
: "${WINEPREFIX:=${HOME:-/root}/.wine-tarvel}"
export WINEPREFIX

log() { printf '[install-win-deps %(%H:%M:%S)T] %s\n' -1 "$*"; }
start=$SECONDS

need=()
command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686-posix)
command -v wine >/dev/null || need+=(wine)
dpkg -s wine32:i386 >/dev/null 2>&1 || need+=(wine32:i386)
command -v cmake >/dev/null || need+=(cmake)
[ -d /usr/src/googletest ] || need+=(googletest)
command -v g++ >/dev/null || need+=(g++)   # the native simulator programs
command -v make >/dev/null || need+=(make)

if [ ${#need[@]} -gt 0 ]; then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        log "adding the i386 architecture"
        dpkg --add-architecture i386
    fi
    log "apt-get update"
    apt-get update -qq
    log "installing: ${need[*]}"
    apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# The posix-threads flavour of the cross compiler (std::thread, std::mutex).
for t in gcc g++; do
    if [ "$(readlink -f "/usr/bin/i686-w64-mingw32-$t")" != "/usr/bin/i686-w64-mingw32-$t-posix" ]; then
        update-alternatives --set "i686-w64-mingw32-$t" "/usr/bin/i686-w64-mingw32-$t-posix" >/dev/null
    fi
done
log "packages ready after $((SECONDS - start)) s"

# A Wine prefix, created once. No display is needed: the tests are console programs.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    log "initialising Wine prefix $WINEPREFIX"
    t0=$SECONDS
    mkdir -p "$(dirname "$WINEPREFIX")"
    WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        log "could not initialise the Wine prefix $WINEPREFIX"
        exit 1
    fi
    log "prefix ready in $((SECONDS - t0)) s"
fi
log "done in $((SECONDS - start)) s"
