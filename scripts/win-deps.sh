#!/usr/bin/env bash
# Builds the libraries tarvel-gateway.exe links for Windows, from Debian's own source packages,
# as static libraries for one mingw-w64 target:
#   libmosquitto_static.a  MQTT client (source package mosquitto; no TLS, no broker, no
#                          programs, no cJSON, no plugins, no documentation)
#   libsqlite3.a           the register of weighings' database (source package sqlite3: its
#                          one-file amalgamation is made with the native tclsh, then compiled
#                          with the cross compiler)
#   libcrypto.a            the register's SHA-256, HMAC and random keys (source package openssl;
#                          libcrypto only, without the protocols and the algorithms it does
#                          not use; -O1, which compiles in about half the time of its -O3:
#                          SHA-256 runs in the package's assembly code either way)
#
#   scripts/win-deps.sh TRIPLE [PREFIX]
#     TRIPLE  x86_64-w64-mingw32 or i686-w64-mingw32
#     PREFIX  where include/ and lib/ go; PREFIX/built.txt names the source versions and is
#             written last, so a finished PREFIX is used as it is and a second run is quick.
#             Default: CACHE/RECIPE/TRIPLE, where CACHE is $TARVEL_WIN_DEPS_CACHE, else
#             ${XDG_CACHE_HOME:-~/.cache}/tarvel6/win-deps, and RECIPE the first 8 digits of
#             this script's MD5 (a changed recipe builds anew; every build tree of the user
#             shares the result)
#   Prints PREFIX as its last line.
#
# The sources come with `apt-get source` (a deb-src entry for Debian's archive is needed:
# scripts/install-win-deps.sh adds one) into PREFIX/../src, and are built under
# PREFIX/../work-TRIPLE, which is removed when all three are built. Needs the cross compilers,
# cmake, make, perl, tclsh and dpkg-source (scripts/install-win-deps.sh installs them).
# Prints the time of each library. The windows-x64 preset runs it at every configure.
set -euo pipefail
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 TRIPLE [PREFIX]" >&2
    exit 64
fi
triple=$1
here=$(cd "$(dirname "$0")/.." && pwd)
recipe=$(md5sum "$here/scripts/win-deps.sh" | cut -c1-8)
cache_root=${TARVEL_WIN_DEPS_CACHE:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/tarvel6/win-deps}
prefix=${2:-$cache_root/$recipe/$triple}
case $triple in
x86_64-w64-mingw32) toolchain=$here/cmake/mingw-x86_64.cmake openssl_target=mingw64 ;;
i686-w64-mingw32) toolchain=$here/cmake/mingw-i686.cmake openssl_target=mingw ;;
*)
    echo "win-deps: unknown target $triple" >&2
    exit 64
    ;;
esac
if [ -f "$prefix/built.txt" ]; then
    echo "$prefix"
    exit 0
fi
log() { printf '[win-deps %(%H:%M:%S)T] %s\n' -1 "$*" >&2; }
jobs=$(nproc 2>/dev/null || echo 2)
mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)
cache=$(dirname "$prefix")
src=$cache/src
work=$cache/work-$triple
mkdir -p "$src" "$prefix/include" "$prefix/lib"
rm -rf "$work"
mkdir -p "$work"
start=$SECONDS
for tool in "$triple-gcc" cmake make perl tclsh dpkg-source apt-get; do
    if ! command -v "$tool" >/dev/null; then
        echo "win-deps: $tool is missing (run scripts/install-win-deps.sh)" >&2
        exit 1
    fi
done

# Unpacks a source package into $work and prints its folder. The archive's newest version
# first; where its files cannot be fetched (a mirror between two updates), the next one it lists.
fetch() { # fetch PACKAGE
    local pkg=$1 dsc v
    dsc=$(ls "$src/${pkg}"_*.dsc 2>/dev/null | sort -V | tail -n1 || true)
    if [ -z "$dsc" ]; then
        local versions
        versions=$(apt-cache showsrc "$pkg" 2>/dev/null | awk '/^Version:/ {print $2}' |
            sort -rV | uniq)
        if [ -z "$versions" ]; then
            echo "win-deps: no source package $pkg: add a deb-src entry for Debian's archive" \
                "and run apt-get update (scripts/install-win-deps.sh does both)" >&2
            return 1
        fi
        for v in $versions; do
            if (cd "$src" && apt-get source -qq --download-only "$pkg=$v" >/dev/null 2>&1); then
                dsc=$(ls "$src/${pkg}_${v#*:}.dsc" 2>/dev/null || true)
                [ -n "$dsc" ] && break
            fi
        done
        if [ -z "$dsc" ]; then
            echo "win-deps: could not download the source package $pkg ($versions)" >&2
            return 1
        fi
    fi
    (cd "$work" && dpkg-source -q -x "$dsc" "$pkg" >/dev/null 2>&1) || {
        echo "win-deps: could not unpack $dsc" >&2
        return 1
    }
    basename "$dsc" .dsc | sed 's/^[^_]*_//' >"$work/$pkg.version"
    echo "$work/$pkg"
}

# ---- libmosquitto -----------------------------------------------------------------------
t0=$SECONDS
dir=$(fetch mosquitto)
log "mosquitto $(cat "$work/mosquitto.version"): building libmosquitto_static.a"
nice cmake -S "$dir" -B "$work/mosquitto-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DWITH_TLS=OFF -DWITH_BROKER=OFF -DWITH_APPS=OFF \
    -DWITH_CLIENTS=OFF -DWITH_CJSON=OFF -DWITH_PLUGINS=OFF -DDOCUMENTATION=OFF \
    -DWITH_STATIC_LIBRARIES=ON >"$work/mosquitto.log" 2>&1 &&
    nice cmake --build "$work/mosquitto-build" -j"$jobs" --target libmosquitto_static \
        >>"$work/mosquitto.log" 2>&1 || {
    tail -n 30 "$work/mosquitto.log" >&2
    echo "win-deps: libmosquitto did not build (log: $work/mosquitto.log)" >&2
    exit 1
}
cp "$work/mosquitto-build/lib/libmosquitto_static.a" "$prefix/lib/"
cp "$dir/include/mosquitto.h" "$dir/include/mqtt_protocol.h" "$prefix/include/"
log "libmosquitto in $((SECONDS - t0)) s"

# ---- SQLite -------------------------------------------------------------------------------
t0=$SECONDS
dir=$(fetch sqlite3)
log "sqlite3 $(cat "$work/sqlite3.version"): making the amalgamation, building libsqlite3.a"
mkdir -p "$work/sqlite3-build"
(
    cd "$work/sqlite3-build" &&
        nice "$dir/configure" --disable-tcl --disable-readline >"$work/sqlite3.log" 2>&1 &&
        nice make sqlite3.c >>"$work/sqlite3.log" 2>&1 &&
        # Debian's own options where they matter to a program that links SQLite in.
        nice "$triple-gcc" -O2 -fno-strict-aliasing -DSQLITE_THREADSAFE=1 \
            -DSQLITE_SECURE_DELETE -DSQLITE_DQS=0 -DSQLITE_OMIT_LOAD_EXTENSION \
            -DSQLITE_MAX_SCHEMA_RETRY=25 -c sqlite3.c -o sqlite3.o >>"$work/sqlite3.log" 2>&1 &&
        "$triple-ar" rcs "$prefix/lib/libsqlite3.a" sqlite3.o &&
        cp sqlite3.h "$prefix/include/"
) || {
    tail -n 30 "$work/sqlite3.log" >&2
    echo "win-deps: SQLite did not build (log: $work/sqlite3.log)" >&2
    exit 1
}
log "SQLite in $((SECONDS - t0)) s"

# ---- libcrypto ------------------------------------------------------------------------------
t0=$SECONDS
dir=$(fetch openssl)
log "openssl $(cat "$work/openssl.version"): building libcrypto.a"
(
    cd "$dir" &&
        nice perl Configure "$openssl_target" --cross-compile-prefix="$triple-" \
            no-shared no-module no-tests no-ui-console no-engine no-dso no-comp no-ssl no-tls \
            no-dtls no-sock no-ocsp no-cms no-ts no-ct no-srp no-psk no-srtp no-deprecated \
            no-legacy no-des no-idea no-rc2 no-rc4 no-rc5 no-md4 no-mdc2 no-rmd160 \
            no-whirlpool no-seed no-camellia no-aria no-bf no-cast no-sm2 no-sm3 no-sm4 \
            no-siphash no-scrypt no-cmac no-poly1305 no-chacha no-ec no-dh no-dsa no-gost \
            no-blake2 no-ocb no-siv no-async no-autoload-config no-cmp no-rfc3779 \
            no-multiblock -O1 >"$work/openssl.log" 2>&1 &&
        nice make -j"$jobs" build_generated >>"$work/openssl.log" 2>&1 &&
        nice make -j"$jobs" libcrypto.a >>"$work/openssl.log" 2>&1 &&
        cp libcrypto.a "$prefix/lib/" &&
        cp -r include/openssl "$prefix/include/"
) || {
    tail -n 30 "$work/openssl.log" >&2
    echo "win-deps: libcrypto did not build (log: $work/openssl.log)" >&2
    exit 1
}
log "libcrypto in $((SECONDS - t0)) s"

{
    for p in mosquitto sqlite3 openssl; do
        echo "$p $(cat "$work/$p.version")"
    done
} >"$prefix/built.txt"
rm -rf "$work"
log "done in $((SECONDS - start)) s: $prefix"
echo "$prefix"
