#!/usr/bin/env bash
# Installs what the Windows builds (32-bit and 64-bit), their tests and the Windows SDK zip
# need on a Debian machine: the mingw-w64 i686 and x86_64 cross compilers (posix threads),
# llvm-dlltool for the SDK's import libraries, Wine with its 32-bit and 64-bit halves, and one
# ready 64-bit Wine prefix. For tarvel-gateway.exe: a deb-src entry and the tools that build
# its libraries from Debian's source packages (scripts/win-deps.sh, run by the windows-x64
# preset's configure), and wixl for the installer. Idempotent and non-interactive as root; as
# another user the packages are installed through sudo (which may ask for a password) after
# saying what and why, and the prefix is made for that user.
#
#   scripts/install-win-deps.sh [--packages | --prefix]     (default: both, in this order)
#   scripts/install-win-deps.sh --missing   prints the missing packages, one group a line:
#                                           the packages, a tab, why (installs nothing)
#   scripts/install-win-deps.sh --sources   adds the deb-src entry and the i386 architecture
#                                           where missing, without apt-get update
# (scripts/install-deps.sh --windows uses the last two to install these packages with the
# Linux ones, in one apt-get update and one apt-get install.)
#
# Whether this machine runs 32-bit programs decides the prefix (scripts/i386-probe.sh tries
# one; TARVEL_I386_RUNS=1 or 0 gives the answer instead, as scripts/test-windows.sh does):
#   - they run: the prefix is made by Debian's `wine`, and runs 32-bit and 64-bit programs;
#   - they do not (a kernel without IA-32 emulation): Debian's `wine` starts the 32-bit loader,
#     which cannot start at all, so the prefix is made by the 64-bit loader (wine64) directly
#     and runs 64-bit programs only. wine32:i386 is installed all the same: it does no harm,
#     and the same packages serve both kinds of machine.
# The prefix records which loader made it and was then seen to run a program of each bitness
# it serves (.tarvel-prefix). A prefix without that record (half made: wineboot stopped, or
# made by something else), one that runs 32-bit programs only, one made by wine64 alone where
# 32-bit programs run (its 32-bit half is missing), and one made by the 32-bit loader where
# 32-bit programs do not run, are made anew.
#
#   WINEPREFIX      prefix to initialise (default: $HOME/.wine-tarvel); this script owns it
#   TARVEL_WINE64   the 64-bit loader (default /usr/lib/wine/wine64, else wine64 on PATH)
#
# Timings on a 2-core machine: the packages depend on the mirror (the 32-bit set alone took
# about 35 s, apt-get update included); the prefix 15-35 s; a second run does nothing.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
export WINEDEBUG=-all
: "${WINEPREFIX:=${HOME:-/root}/.wine-tarvel}"
export WINEPREFIX

log() { printf '[install-win-deps %(%H:%M:%S)T] %s\n' -1 "$*"; }
start=$SECONDS
here=$(cd "$(dirname "$0")" && pwd)
case ${1:-} in
--packages) steps=packages ;;
--prefix) steps=prefix ;;
--missing | --sources) steps=${1#--} ;;
"") steps="packages prefix" ;;
*)
    echo "usage: $0 [--packages | --prefix | --missing | --sources]" >&2
    exit 64
    ;;
esac

# Groups of packages: what is missing of each (groups), and why it is needed (why).
groups=() why=()
find_missing() {
    local p=()
    groups=() why=()
    group() { # WHY PACKAGE...: adds the group when it has packages
        local reason=$1
        shift
        if [ $# -gt 0 ]; then
            groups+=("$*")
            why+=("$reason")
        fi
    }
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
    # Also brings the i386 loader that scripts/i386-probe.sh tries. Where 32-bit programs do
    # not run it is installed all the same: it harms nothing there.
    dpkg -s wine32:i386 >/dev/null 2>&1 || p+=(wine32:i386)
    dpkg -s wine64 >/dev/null 2>&1 || p+=(wine64)
    command -v pgrep >/dev/null || p+=(procps) # scripts/wine-run.sh looks for the desktop process
    group "to run the Windows tests (32-bit and 64-bit Wine; adds the i386 architecture)" \
        ${p[@]+"${p[@]}"}
    p=()
    [ -d /usr/src/googletest ] || p+=(googletest)
    command -v g++ >/dev/null || p+=(g++)
    command -v python3 >/dev/null || p+=(python3) # tests/win/check_stdcall.py
    group "GoogleTest for the Windows suites, g++ for the native simulator, python3 for the
  32-bit DLL's calling-convention check" ${p[@]+"${p[@]}"}
    p=()
    command -v tclsh >/dev/null || p+=(tcl)
    command -v dpkg-source >/dev/null || p+=(dpkg-dev)
    command -v perl >/dev/null || p+=(perl)
    command -v x86_64-w64-mingw32-windmc >/dev/null || p+=(binutils-mingw-w64-x86-64)
    group "tarvel-gateway.exe: libmosquitto, SQLite and libcrypto built from Debian's source
  packages (scripts/win-deps.sh: tclsh, dpkg-source, perl), the Event Log's messages (windmc)" \
        ${p[@]+"${p[@]}"}
    p=()
    command -v wixl >/dev/null || p+=(wixl)
    command -v msiinfo >/dev/null || p+=(msitools)
    group "the Windows installer (scripts/make-windows-msi.sh: wixl; msitools to read it)" \
        ${p[@]+"${p[@]}"}
}

# Source packages (scripts/win-deps.sh runs `apt-get source`): a deb-src entry for each archive
# of Debian's own sources file, added once as tarvel6-deb-src.sources.
deb_src_file=/etc/apt/sources.list.d/tarvel6-deb-src.sources
need_deb_src() {
    ! grep -qs '^Types:.*deb-src' /etc/apt/sources.list.d/*.sources &&
        ! grep -qs '^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list
}
# The posix-threads flavour of the cross compilers (std::thread, std::mutex).
posix_alternatives() {
    local triple t
    for triple in i686-w64-mingw32 x86_64-w64-mingw32; do
        for t in gcc g++; do
            [ "$(readlink -f "/usr/bin/$triple-$t")" = "/usr/bin/$triple-$t-posix" ] || return 1
        done
    done
}
# Root for what follows: as_root is empty as root, sudo otherwise (stops without either).
as_root=()
need_root() {
    if [ "$(id -u)" != 0 ] && [ ${#as_root[@]} -eq 0 ]; then
        if ! command -v sudo >/dev/null; then
            log "installing needs root: run this script as root, or install sudo; missing:"
            for i in "${!groups[@]}"; do echo "  ${groups[$i]}  (${why[$i]})"; done
            exit 1
        fi
        as_root=(sudo env DEBIAN_FRONTEND=noninteractive)
        log "installing with sudo (it may ask for your password):"
    fi
}
# The deb-src entry and the i386 architecture, where missing (no apt-get update): returns 1
# when it added nothing.
add_sources() {
    local added=1
    if need_deb_src; then
        need_root
        echo "  a deb-src entry for Debian's archive ($deb_src_file) - the source packages" \
            "tarvel-gateway.exe's libraries are built from"
        if [ -f /etc/apt/sources.list.d/debian.sources ]; then
            sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
                ${as_root[@]+"${as_root[@]}"} tee "$deb_src_file" >/dev/null
        else
            grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
                ${as_root[@]+"${as_root[@]}"} tee "${deb_src_file%.sources}.list" >/dev/null
        fi
        added=0
    fi
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        need_root
        log "adding the i386 architecture"
        ${as_root[@]+"${as_root[@]}"} dpkg --add-architecture i386
        added=0
    fi
    return $added
}

# Prints what is missing, one group a line: PACKAGES, a tab, why (scripts/install-deps.sh
# --windows installs them with the Linux packages, in one apt-get install).
print_missing() {
    find_missing
    for i in "${!groups[@]}"; do
        printf '%s\t%s\n' "${groups[$i]}" "$(printf '%s' "${why[$i]}" | tr -s ' \n' '  ')"
    done
}

install_packages() {
    local i triple t all=() pkgs=() added=1
    find_missing
    if [ ${#groups[@]} -gt 0 ] || ! posix_alternatives || need_deb_src; then
        [ ${#groups[@]} -eq 0 ] || need_root
        for i in "${!groups[@]}"; do
            echo "  ${groups[$i]}  - ${why[$i]}"
            read -ra pkgs <<<"${groups[$i]}"
            all+=("${pkgs[@]}")
        done
        posix_alternatives || echo "  (and the posix-threads mingw-w64 compilers as the default ones)"
        add_sources && added=0
        if [ ${#all[@]} -gt 0 ] || [ $added = 0 ]; then
            log "apt-get update"
            ${as_root[@]+"${as_root[@]}"} apt-get update -qq
        fi
        if [ ${#all[@]} -gt 0 ]; then
            log "installing: ${all[*]}"
            ${as_root[@]+"${as_root[@]}"} apt-get install -y -qq --no-install-recommends "${all[@]}" >/dev/null
        fi
        posix_alternatives || need_root
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
}

# What is wrong with the prefix for loader $1 (empty: nothing). The record is written last,
# once the prefix has run a program of each bitness it serves.
prefix_fault() {
    local made_by=$1 record
    [ -e "$WINEPREFIX" ] || {
        echo "missing"
        return
    }
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "half made (no system.reg)"
    elif ! grep -qx '#arch=win64' "$WINEPREFIX/system.reg"; then
        echo "runs 32-bit programs only"
    elif [ ! -f "$WINEPREFIX/.tarvel-prefix" ]; then
        echo "not known to be finished (no .tarvel-prefix: half made, or made by something else)"
    else
        record=$(cat "$WINEPREFIX/.tarvel-prefix")
        if [ "$record" != "made by $made_by" ]; then
            case $made_by in
            wine) echo "$record: its 32-bit half is missing, and this machine runs 32-bit programs" ;;
            *) echo "$record, which starts the 32-bit loader, and this machine cannot run it" ;;
            esac
        fi
    fi
}

make_prefix() {
    local runs line made_by fault t0
    local loader=()
    if [ -n "${TARVEL_I386_RUNS:-}" ]; then
        runs=$TARVEL_I386_RUNS
    else
        if line=$(bash "$here/i386-probe.sh"); then runs=1; else runs=0; fi
        log "$line"
    fi
    if [ "$runs" = 1 ]; then
        made_by=wine
        loader=(wine)
    else
        local wine64=${TARVEL_WINE64:-/usr/lib/wine/wine64}
        [ -x "$wine64" ] || wine64=$(command -v wine64 || true)
        if [ -z "$wine64" ]; then
            log "no 64-bit Wine loader (wine64) found: install the package wine64"
            exit 1
        fi
        made_by=wine64
        loader=("$wine64")
        export WINELOADER=$wine64 # what Wine starts on its own uses it too
    fi

    fault=$(prefix_fault "$made_by")
    if [ -n "$fault" ]; then
        if [ "$fault" != missing ]; then
            log "$WINEPREFIX: $fault: making it anew"
            wineserver -k 2>/dev/null || true
            rm -rf "$WINEPREFIX"
        fi
        log "initialising Wine prefix $WINEPREFIX with ${loader[*]}"
        t0=$SECONDS
        mkdir -p "$(dirname "$WINEPREFIX")"
        # No display is needed: the tests are console programs.
        WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml=" "${loader[@]}" wineboot -i \
            >/dev/null 2>&1 || true
        wineserver -w || true # the registry reaches system.reg when the server ends
        # Seen to work: the architecture, and a program of each bitness the prefix serves.
        local ok=1
        grep -qx '#arch=win64' "$WINEPREFIX/system.reg" 2>/dev/null || ok=0
        if [ $ok = 1 ]; then
            "${loader[@]}" cmd /c exit </dev/null >/dev/null 2>&1 || ok=0
        fi
        if [ $ok = 1 ] && [ "$runs" = 1 ]; then
            "${loader[@]}" 'C:\windows\syswow64\cmd.exe' /c exit </dev/null >/dev/null 2>&1 ||
                ok=0
        fi
        wineserver -w || true
        if [ $ok = 0 ]; then
            log "could not initialise the Wine prefix $WINEPREFIX with ${loader[*]}; to see" \
                "why: WINEPREFIX=$WINEPREFIX WINEARCH=win64 ${loader[*]} wineboot -i"
            exit 1
        fi
        echo "made by $made_by" >"$WINEPREFIX/.tarvel-prefix"
        log "prefix ready in $((SECONDS - t0)) s ($([ "$runs" = 1 ] &&
            echo "32-bit and 64-bit programs" || echo "64-bit programs only"))"
    fi
    if [ "$runs" != 1 ] && dpkg -s wine32:i386 >/dev/null 2>&1; then
        log "wine32:i386 is installed, but this machine runs no 32-bit programs: Wine runs" \
            "64-bit programs only, through wine64"
    fi
}

for step in $steps; do
    case $step in
    packages) install_packages ;;
    prefix) make_prefix ;;
    missing)
        print_missing
        exit 0
        ;;
    sources) add_sources || true ;;
    esac
done
log "done in $((SECONDS - start)) s"
