#!/usr/bin/env bash
# The library as others get it:
#   run_package.sh install BUILDDIR SRCDIR WORKDIR VERSION
#     cmake --install into a staging prefix, then a consumer built with find_package(Tarvel6)
#     and one built with pkg-config, each run against the staged library.
#   run_package.sh deb BUILDDIR SRCDIR WORKDIR VERSION
#     cpack's .deb files installed with dpkg (root only), `tarvel version`, a consumer built
#     with the system's pkg-config, then the packages removed again.
# Exit status 77 (skipped) when it cannot run here.
set -euo pipefail
what=$1 build=$2 src=$3 work=$4 version=$5
export LC_ALL=C
rm -rf "$work"
mkdir -p "$work"
consumer=$src/tests/package/consumer

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
skip() {
    echo "SKIP: $*"
    exit 77
}
expect_version() { # program output
    [ "$2" = "TARVEL 2.0.15 Tarvel6" ] || fail "$1 printed: $2"
}

case $what in
install)
    stage=$work/stage
    cmake --install "$build" --prefix "$stage" >"$work/install.log" || fail "cmake --install failed"
    for f in include/tarvel6.h share/tarvel6/pascal/Tarvel6.pas bin/tarvel bin/tarvel-sim \
        bin/tarvel-gateway; do
        [ -f "$stage/$f" ] || fail "$f is not installed"
    done
    lib=$(dirname "$(find "$stage" -name "libTarvel6.so.$version")")
    [ -n "$lib" ] || fail "libTarvel6.so.$version is not installed"
    soname=$(objdump -p "$lib/libTarvel6.so.$version" | awk '$1 == "SONAME" {print $2}')
    [ "$soname" = "libTarvel6.so.${version%%.*}" ] || fail "SONAME $soname"

    cmake -S "$consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$stage" \
        -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >"$work/cmake.log" 2>&1 ||
        { cat "$work/cmake.log"; fail "find_package(Tarvel6) consumer did not configure"; }
    cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1 ||
        { cat "$work/cmake.log"; fail "find_package(Tarvel6) consumer did not build"; }
    expect_version "find_package consumer" "$(LD_LIBRARY_PATH=$lib "$work/cmake/consumer")"

    export PKG_CONFIG_PATH=$lib/pkgconfig
    [ "$(pkg-config --modversion tarvel6)" = "$version" ] || fail "tarvel6.pc version"
    # shellcheck disable=SC2046
    cc -Wall -Wextra -Werror -o "$work/pc-consumer" "$consumer/consumer.c" $(pkg-config --cflags --libs tarvel6) ||
        fail "pkg-config consumer did not build"
    expect_version "pkg-config consumer" "$(LD_LIBRARY_PATH=$lib "$work/pc-consumer")"
    # A newer major version is refused.
    printf 'cmake_minimum_required(VERSION 3.16)\nproject(x NONE)\nfind_package(Tarvel6 3 REQUIRED)\n' \
        >"$work/CMakeLists.txt"
    if cmake -S "$work" -B "$work/major" -DCMAKE_PREFIX_PATH="$stage" >/dev/null 2>&1; then
        fail "find_package(Tarvel6 3) accepted version $version"
    fi
    ;;
deb)
    [ "$(id -u)" -eq 0 ] || skip "installing .deb files needs root"
    command -v dpkg >/dev/null || skip "no dpkg on this system"
    packages=(libtarvel6-2 libtarvel6-dev tarvel-tools)
    # One such test on this machine at a time (other checkouts may run it too).
    exec 9>/var/lock/tarvel6-package-test.lock
    flock -w 600 9 || fail "another package test held the lock for 10 minutes"
    for p in "${packages[@]}"; do
        if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
            skip "$p is installed already; not replacing a package this test did not install"
        fi
    done
    cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
        { cat "$work/cpack.log"; fail "cpack failed"; }
    debs=("$work"/*.deb)
    [ ${#debs[@]} -eq 3 ] || fail "cpack made ${#debs[@]} packages: ${debs[*]}"
    for d in "${debs[@]}"; do
        [ "$(dpkg-deb -f "$d" Version)" = "$version-1" ] || fail "$d: version $(dpkg-deb -f "$d" Version)"
    done
    # dpkg holds a lock: another installation may be running, so wait for it a while.
    dpkg_retry() {
        local _
        for _ in $(seq 60); do
            if dpkg "$@" >"$work/dpkg.log" 2>&1; then return 0; fi
            grep -q "lock" "$work/dpkg.log" || break
            sleep 1
        done
        cat "$work/dpkg.log"
        return 1
    }
    remove() { dpkg_retry --purge "${packages[@]}" || true; }
    trap remove EXIT
    dpkg_retry -i "${debs[@]}" || fail "dpkg -i failed"
    out=$(/usr/bin/tarvel version) || fail "tarvel version exited $?: $out"
    echo "$out"
    case $out in *Tarvel6*) ;; *) fail "tarvel version printed: $out" ;; esac
    out=$(/usr/bin/tarvel-gateway --version) || fail "tarvel-gateway --version exited $?: $out"
    [ "$out" = "tarvel-gateway $version" ] || fail "tarvel-gateway --version printed: $out"
    # shellcheck disable=SC2046
    cc -Wall -Wextra -Werror -o "$work/pc-consumer" "$consumer/consumer.c" $(pkg-config --cflags --libs tarvel6) ||
        fail "pkg-config consumer did not build against the installed package"
    expect_version "installed consumer" "$("$work/pc-consumer")"
    trap - EXIT
    dpkg_retry --purge "${packages[@]}" || fail "dpkg --purge failed"
    [ ! -e /usr/bin/tarvel ] || fail "/usr/bin/tarvel is still there after removal"
    ;;
*)
    fail "unknown case $what"
    ;;
esac
echo "$what: all passed"
