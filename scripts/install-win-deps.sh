#!/usr/bin/env bash
# Installs what the 32-bit Windows build and its tests need on a Debian machine:
# the mingw-w64 i686 cross compiler, Wine (32-bit) to run the test programs, and a
# ready Wine prefix. Idempotent and non-interactive as root; as another user the packages
# are installed through sudo (which may ask for a password) after saying what and why, and
# the prefix is made for that user.
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

# Groups of packages: what is missing of each, and why it is needed.
groups=() why=()
group() { # WHY PACKAGE...: adds the group when it has packages
    local reason=$1
    shift
    if [ $# -gt 0 ]; then
        groups+=("$*")
        why+=("$reason")
    fi
}
p=()
command -v i686-w64-mingw32-g++-posix >/dev/null || p+=(g++-mingw-w64-i686-posix)
command -v cmake >/dev/null || p+=(cmake)
command -v make >/dev/null || p+=(make)
group "to cross-build the 32-bit DLL and tarvel.exe" ${p[@]+"${p[@]}"}
p=()
[ -f /usr/include/CLI/CLI.hpp ] || p+=(libcli11-dev)
[ -f /usr/include/nlohmann/json.hpp ] || p+=(nlohmann-json3-dev)
group "tarvel.exe's command-line parser and JSON (header-only)" ${p[@]+"${p[@]}"}
p=()
command -v wine >/dev/null || p+=(wine)
dpkg -s wine32:i386 >/dev/null 2>&1 || p+=(wine32:i386)
group "to run the Windows tests (32-bit Wine; adds the i386 architecture)" ${p[@]+"${p[@]}"}
p=()
[ -d /usr/src/googletest ] || p+=(googletest)
command -v g++ >/dev/null || p+=(g++)
group "GoogleTest for the Windows suites, g++ for the native simulator" ${p[@]+"${p[@]}"}

# The posix-threads flavour of the cross compiler (std::thread, std::mutex).
posix_alternatives() {
    local t
    for t in gcc g++; do
        [ "$(readlink -f "/usr/bin/i686-w64-mingw32-$t")" = "/usr/bin/i686-w64-mingw32-$t-posix" ] ||
            return 1
    done
}

if [ ${#groups[@]} -gt 0 ] || ! posix_alternatives; then
    as_root=()
    if [ "$(id -u)" != 0 ]; then
        if ! command -v sudo >/dev/null; then
            log "installing needs root: run this script as root, or install sudo; missing:"
            for i in "${!groups[@]}"; do echo "  ${groups[$i]}  (${why[$i]})"; done
            exit 1
        fi
        as_root=(sudo env DEBIAN_FRONTEND=noninteractive)
        log "installing with sudo (it may ask for your password):"
    fi
    all=()
    for i in "${!groups[@]}"; do
        echo "  ${groups[$i]}  - ${why[$i]}"
        read -ra pkgs <<<"${groups[$i]}"
        all+=("${pkgs[@]}")
    done
    posix_alternatives || echo "  (and the posix-threads mingw-w64 compilers as the default ones)"
    if [ ${#all[@]} -gt 0 ]; then
        if ! dpkg --print-foreign-architectures | grep -qx i386; then
            log "adding the i386 architecture"
            ${as_root[@]+"${as_root[@]}"} dpkg --add-architecture i386
        fi
        log "apt-get update"
        ${as_root[@]+"${as_root[@]}"} apt-get update -qq
        log "installing: ${all[*]}"
        ${as_root[@]+"${as_root[@]}"} apt-get install -y -qq --no-install-recommends "${all[@]}" >/dev/null
    fi
    for t in gcc g++; do
        if [ "$(readlink -f "/usr/bin/i686-w64-mingw32-$t")" != "/usr/bin/i686-w64-mingw32-$t-posix" ]; then
            ${as_root[@]+"${as_root[@]}"} update-alternatives --set "i686-w64-mingw32-$t" \
                "/usr/bin/i686-w64-mingw32-$t-posix" >/dev/null
        fi
    done
fi
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
