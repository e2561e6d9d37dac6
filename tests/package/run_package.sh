#!/usr/bin/env bash
# The library and the tools as others get them:
#   run_package.sh install BUILDDIR SRCDIR WORKDIR VERSION
#     cmake --install into a staging prefix: every file where the README says, the service's
#     unit written for that prefix, then a consumer built with find_package(Tarvel6) and one
#     built with pkg-config, each run against the staged library.
#   run_package.sh unit BUILDDIR SRCDIR WORKDIR VERSION
#     the unit as the package installs it, checked by systemd-analyze verify in a copy of
#     this system's unit folder (no running systemd needed).
#   run_package.sh deb BUILDDIR SRCDIR WORKDIR VERSION
#     cpack's .deb files (root only): their fields and contents, installed with dpkg; the
#     gateway started exactly as its unit says, as the unit's account, reading simulated
#     scales over TCP and a serial line; the configuration kept over two upgrades; then the
#     packages removed and purged, leaving nothing behind.
# Exit status 77 (skipped) when it cannot run here.
set -euo pipefail
what=$1 build=$2 src=$3 work=$4 version=$5
export LC_ALL=C
rm -rf "$work"
mkdir -p "$work"
here=$(cd "$(dirname "$0")" && pwd)
consumer=$src/tests/package/consumer
multiarch=$(gcc -print-multiarch)

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
skip() {
    echo "SKIP: $*"
    exit 77
}
expect_version() { # program output
    [ "$2" = "TARVEL $version Tarvel6" ] || fail "$1 printed: $2"
}
# The value of KEY= in the [Service] (or any) section of a unit file; the last one counts.
unit_value() { # FILE KEY
    sed -n "s/^$2=//p" "$1" | tail -n 1
}

case $what in
install)
    stage=$work/stage
    cmake --install "$build" --prefix "$stage" >"$work/install.log" || fail "cmake --install failed"
    for f in include/tarvel6.h share/tarvel6/pascal/Tarvel6.pas bin/tarvel bin/tarvel-sim \
        bin/tarvel-gateway "lib/$multiarch/libTarvel6.so.$version" "lib/$multiarch/pkgconfig/tarvel6.pc" \
        "lib/$multiarch/cmake/Tarvel6/Tarvel6Config.cmake" share/man/man1/tarvel.1.gz \
        share/man/man1/tarvel-sim.1.gz share/man/man8/tarvel-gateway.8.gz \
        share/man/man5/tarvel-gateway.toml.5.gz share/bash-completion/completions/tarvel \
        etc/tarvel/gateway.toml lib/systemd/system/tarvel-gateway.service; do
        [ -f "$stage/$f" ] || fail "$f is not installed"
    done
    for p in libtarvel6-2 libtarvel6-dev tarvel-tools tarvel-sim; do
        for f in changelog.Debian.gz copyright; do
            [ -f "$stage/share/doc/$p/$f" ] || fail "share/doc/$p/$f is not installed"
        done
    done
    lib=$stage/lib/$multiarch
    soname=$(objdump -p "$lib/libTarvel6.so.$version" | awk '$1 == "SONAME" {print $2}')
    [ "$soname" = "libTarvel6.so.${version%%.*}" ] || fail "SONAME $soname"
    # Outside /usr the service's files stay inside the prefix, and the unit names them there.
    unit=$stage/lib/systemd/system/tarvel-gateway.service
    expected="$stage/bin/tarvel-gateway --config $stage/etc/tarvel/gateway.toml"
    [ "$(unit_value "$unit" ExecStart)" = "$expected" ] ||
        fail "ExecStart is '$(unit_value "$unit" ExecStart)', expected '$expected'"
    [ "$(unit_value "$unit" ExecStartPre)" = "-$expected --check" ] ||
        fail "ExecStartPre is '$(unit_value "$unit" ExecStartPre)'"
    ! grep -n '@[A-Z_]*@' "$unit" || fail "the unit holds a placeholder"
    # The example configuration is one the gateway takes as it is.
    "$stage/bin/tarvel-gateway" --config "$stage/etc/tarvel/gateway.toml" --check >"$work/check.log" 2>&1 ||
        { cat "$work/check.log"; fail "the example configuration does not pass --check"; }

    cmake -S "$consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$stage" \
        -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >"$work/cmake.log" 2>&1 ||
        { cat "$work/cmake.log"; fail "find_package(Tarvel6) consumer did not configure"; }
    cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1 ||
        { cat "$work/cmake.log"; fail "find_package(Tarvel6) consumer did not build"; }
    expect_version "find_package consumer" "$(LD_LIBRARY_PATH=$lib "$work/cmake/consumer")"

    export PKG_CONFIG_PATH=$lib/pkgconfig
    [ "$(pkg-config --modversion tarvel6)" = "$version" ] || fail "tarvel6.pc version"
    [ "$(pkg-config --variable=libdir tarvel6)" = "$lib" ] || fail "tarvel6.pc libdir $(pkg-config --variable=libdir tarvel6)"
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
unit)
    command -v systemd-analyze >/dev/null || skip "no systemd-analyze (Debian package systemd)"
    units=$(pkg-config --variable=systemdsystemunitdir systemd 2>/dev/null || echo /lib/systemd/system)
    # A root with this system's units (the targets the unit's dependencies name), where the
    # tools component is installed as the package installs it.
    root=$work/root
    mkdir -p "$root/usr/lib/systemd" "$root/usr/bin"
    cp -a "$(readlink -f "$units")" "$root/usr/lib/systemd/system"
    ln -s usr/lib "$root/lib"
    DESTDIR=$root cmake --install "$build" --prefix /usr --component tools >"$work/install.log" ||
        fail "cmake --install --component tools failed"
    [ -f "$root$units/tarvel-gateway.service" ] || fail "the unit is not in $units"
    [ -f "$root/etc/tarvel/gateway.toml" ] || fail "no /etc/tarvel/gateway.toml"
    # verify says what it ignores and still exits 0: any output is a failure.
    systemd-analyze verify --man=no --root="$root" "$units/tarvel-gateway.service" >"$work/verify.log" 2>&1 ||
        { cat "$work/verify.log"; fail "systemd-analyze verify exited $?"; }
    [ ! -s "$work/verify.log" ] || { cat "$work/verify.log"; fail "systemd-analyze verify complained"; }
    echo "systemd-analyze verify: no complaint"
    # Nothing that would keep the account from the serial ports, which only a running systemd
    # would show: a private /dev, a device allow-list (ProtectClock=yes implies one), a user
    # namespace without dialout, or an account made at each start.
    for kv in PrivateDevices= DevicePolicy= DeviceAllow= ProtectClock=yes PrivateUsers= DynamicUser=; do
        ! grep -q "^$kv" "$root$units/tarvel-gateway.service" || fail "the unit sets $kv, which blocks serial ports"
    done
    # The hardening stays where it is: systemd's exposure score (0-100), 19 as shipped.
    systemd-analyze security --offline=true --root="$root" --threshold=25 \
        "$units/tarvel-gateway.service" >"$work/security.log" 2>&1 ||
        { grep -E '^(-|->) ' "$work/security.log"; fail "the unit's exposure rose above 2.5"; }
    grep '^-> ' "$work/security.log"
    ;;
deb)
    # shellcheck source=tests/package/deb.sh
    source "$here/deb.sh"
    ;;
*)
    fail "unknown case $what"
    ;;
esac
echo "$what: all passed"
