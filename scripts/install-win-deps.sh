#!/usr/bin/env bash
# Installs what the Windows builds (32-bit and 64-bit), their tests and the Windows SDK zip
# need on a Debian machine: the mingw-w64 i686 and x86_64 cross compilers (posix threads),
# llvm-dlltool for the SDK's import libraries, Wine with its 32-bit and 64-bit halves, and one
# ready Wine prefix that runs 32-bit and 64-bit programs. For tarvel-gateway.exe: a deb-src
# entry and the tools that build its libraries from Debian's source packages
# (scripts/win-deps.sh, run by the windows-x64 preset's configure), and wixl for the installer. Idempotent and non-interactive as
# root; as another user the packages are installed through sudo (which may ask for a
# password) after saying what and why, and the prefix is made for that user.
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
command -v x86_64-w64-mingw32-g++-posix >/dev/null || p+=(g++-mingw-w64-x86-64-posix)
command -v cmake >/dev/null || p+=(cmake)
command -v make >/dev/null || p+=(make)
group "to cross-build the 32-bit and 64-bit DLLs and tarvel.exe" ${p[@]+"${p[@]}"}
p=()
[ -f /usr/include/CLI/CLI.hpp ] || p+=(libcli11-dev)
[ -f /usr/include/nlohmann/json.hpp ] || p+=(nlohmann-json3-dev)
group "tarvel.exe's command-line parser and JSON (header-only)" ${p[@]+"${p[@]}"}
p=()
command -v llvm-dlltool >/dev/null || p+=(llvm)
group "the Windows SDK zip's import libraries (llvm-dlltool)" ${p[@]+"${p[@]}"}
p=()
command -v wine >/dev/null || p+=(wine)
dpkg -s wine32:i386 >/dev/null 2>&1 || p+=(wine32:i386)
dpkg -s wine64 >/dev/null 2>&1 || p+=(wine64)
command -v pgrep >/dev/null || p+=(procps) # scripts/wine-run.sh looks for the desktop process
group "to run the Windows tests (32-bit and 64-bit Wine; adds the i386 architecture)" \
    ${p[@]+"${p[@]}"}
p=()
command -v tclsh >/dev/null || p+=(tcl)
command -v dpkg-source >/dev/null || p+=(dpkg-dev)
command -v perl >/dev/null || p+=(perl)
command -v x86_64-w64-mingw32-windmc >/dev/null || p+=(binutils-mingw-w64-x86-64)
group "tarvel-gateway.exe: libmosquitto, SQLite and libcrypto built from Debian's source" \
    "packages (scripts/win-deps.sh: tclsh, dpkg-source, perl), the Event Log's messages" \
    "(windmc)" ${p[@]+"${p[@]}"}
p=()
command -v wixl >/dev/null || p+=(wixl)
command -v msiinfo >/dev/null || p+=(msitools)
group "the Windows installer (scripts/make-windows-msi.sh: wixl; msitools to read it)" \
    ${p[@]+"${p[@]}"}
p=()
[ -d /usr/src/googletest ] || p+=(googletest)
command -v g++ >/dev/null || p+=(g++)
group "GoogleTest for the Windows suites, g++ for the native simulator" ${p[@]+"${p[@]}"}

# Source packages (scripts/win-deps.sh runs `apt-get source`): a deb-src entry for each
# archive of Debian's own sources file, added once as tarvel6-deb-src.sources.
deb_src_file=/etc/apt/sources.list.d/tarvel6-deb-src.sources
need_deb_src=0
if ! grep -qs '^Types:.*deb-src' /etc/apt/sources.list.d/*.sources &&
    ! grep -qs '^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list; then
    need_deb_src=1
fi

# The posix-threads flavour of the cross compilers (std::thread, std::mutex).
posix_alternatives() {
    local triple t
    for triple in i686-w64-mingw32 x86_64-w64-mingw32; do
        for t in gcc g++; do
            [ "$(readlink -f "/usr/bin/$triple-$t")" = "/usr/bin/$triple-$t-posix" ] || return 1
        done
    done
}

if [ ${#groups[@]} -gt 0 ] || ! posix_alternatives || [ $need_deb_src = 1 ]; then
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
    if [ $need_deb_src = 1 ]; then
        echo "  a deb-src entry for Debian's archive ($deb_src_file) - the source packages" \
            "tarvel-gateway.exe's libraries are built from"
        if [ -f /etc/apt/sources.list.d/debian.sources ]; then
            sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
                ${as_root[@]+"${as_root[@]}"} tee "$deb_src_file" >/dev/null
        else
            grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
                ${as_root[@]+"${as_root[@]}"} tee "${deb_src_file%.sources}.list" >/dev/null
        fi
        log "apt-get update (source packages)"
        ${as_root[@]+"${as_root[@]}"} apt-get update -qq
    fi
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
    for triple in i686-w64-mingw32 x86_64-w64-mingw32; do
        for t in gcc g++; do
            if [ "$(readlink -f "/usr/bin/$triple-$t")" != "/usr/bin/$triple-$t-posix" ]; then
                ${as_root[@]+"${as_root[@]}"} update-alternatives --set "$triple-$t" \
                    "/usr/bin/$triple-$t-posix" >/dev/null
            fi
        done
    done
fi
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
