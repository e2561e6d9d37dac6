#!/usr/bin/env bash
# Installs what the Windows builds (32-bit and 64-bit), their tests and the Windows SDK zip
# need on a Debian machine: the mingw-w64 i686 and x86_64 cross compilers (posix threads),
# llvm-dlltool for the SDK's import libraries, Wine with its 32-bit and 64-bit halves, and one
# ready Wine prefix that runs 32-bit and 64-bit programs. Idempotent; run as root;
# non-interactive.
#
#   WINEPREFIX   prefix to initialise (default: $HOME/.wine-tarvel). A 32-bit-only prefix left
#                there by an older version of this script is made anew.
#
# Timings on a 2-core machine: the packages depend on the mirror (the 32-bit set alone took
# about 35 s, apt-get update included); the prefix 15-25 s; a second run does nothing.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
export WINEDEBUG=-all
: "${WINEPREFIX:=${HOME:-/root}/.wine-tarvel}"
export WINEPREFIX

log() { printf '[install-win-deps %(%H:%M:%S)T] %s\n' -1 "$*"; }
start=$SECONDS

need=()
command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686-posix)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
command -v wine >/dev/null || need+=(wine)
dpkg -s wine32:i386 >/dev/null 2>&1 || need+=(wine32:i386)
dpkg -s wine64 >/dev/null 2>&1 || need+=(wine64)
command -v llvm-dlltool >/dev/null || need+=(llvm)
command -v cmake >/dev/null || need+=(cmake)
[ -d /usr/src/googletest ] || need+=(googletest)
command -v g++ >/dev/null || need+=(g++)   # the native simulator programs
command -v make >/dev/null || need+=(make)
command -v pgrep >/dev/null || need+=(procps) # scripts/wine-run.sh looks for the desktop process

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

# The posix-threads flavour of the cross compilers (std::thread, std::mutex).
for triple in i686-w64-mingw32 x86_64-w64-mingw32; do
    for t in gcc g++; do
        if [ "$(readlink -f "/usr/bin/$triple-$t")" != "/usr/bin/$triple-$t-posix" ]; then
            update-alternatives --set "$triple-$t" "/usr/bin/$triple-$t-posix" >/dev/null
        fi
    done
done
log "packages ready after $((SECONDS - start)) s"

# One 64-bit prefix (it runs 32-bit programs too), created once. No display is needed: the
# tests are console programs.
if [ -f "$WINEPREFIX/system.reg" ] && ! grep -qx '#arch=win64' "$WINEPREFIX/system.reg"; then
    log "$WINEPREFIX runs 32-bit programs only: making it anew"
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    log "initialising Wine prefix $WINEPREFIX"
    t0=$SECONDS
    mkdir -p "$(dirname "$WINEPREFIX")"
    WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
    if ! grep -qx '#arch=win64' "$WINEPREFIX/system.reg" 2>/dev/null; then
        log "could not initialise the Wine prefix $WINEPREFIX"
        exit 1
    fi
    log "prefix ready in $((SECONDS - t0)) s"
fi
log "done in $((SECONDS - start)) s"
