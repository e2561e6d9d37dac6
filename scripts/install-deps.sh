#!/usr/bin/env bash
# Installs what the Linux build, the tools and the tests need on a Debian machine.
# Idempotent and non-interactive as root; as another user it installs through sudo (which may
# ask for a password) after saying what it installs and why. Installs nothing when all is there.
#   scripts/install-deps.sh [--build | --windows]
#     --build    only what the `linux` preset's configure and build need (the test command
#                installs these first and the rest while the Linux build compiles)
#     --windows  also what scripts/install-win-deps.sh --packages installs, in the same
#                apt-get update and apt-get install
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
here=$(cd "$(dirname "$0")" && pwd)
mode=${1:-}
case $mode in
"" | --build | --windows) ;;
*)
    echo "usage: $0 [--build | --windows]" >&2
    exit 64
    ;;
esac

# Groups of packages: what is missing of each, and why it is needed.
groups=() why=()
build_group() { # WHY PACKAGE...: adds the group when it has packages
    local reason=$1
    shift
    if [ $# -gt 0 ]; then
        groups+=("$*")
        why+=("$reason")
    fi
}
# What only the tests need: left out with --build.
group() { # WHY PACKAGE...
    [ "$mode" = --build ] || build_group "$@"
}
p=()
command -v cmake >/dev/null || p+=(cmake)
command -v g++ >/dev/null || p+=(g++)
command -v make >/dev/null || p+=(make)
command -v nm >/dev/null || p+=(binutils)
build_group "to build the library and the tools" ${p[@]+"${p[@]}"}
p=()
[ -f /usr/include/CLI/CLI.hpp ] || p+=(libcli11-dev)
[ -f /usr/include/nlohmann/json.hpp ] || p+=(nlohmann-json3-dev)
build_group "the tools' command-line parser and JSON (header-only)" ${p[@]+"${p[@]}"}
p=()
[ -f /usr/include/gtest/gtest.h ] || p+=(libgtest-dev)
[ -d /usr/src/googletest ] || p+=(googletest)
command -v python3 >/dev/null || p+=(python3) # reads tarvel's JSON in its test
[ -f /usr/share/i18n/locales/de_DE ] || p+=(locales) # a comma locale for that test
build_group "the test suites (GoogleTest; python3 and a comma locale for tarvel --json)" ${p[@]+"${p[@]}"}
p=()
command -v fpc >/dev/null || p+=(fp-compiler fp-units-rtl)
group "the Pascal host test" ${p[@]+"${p[@]}"}
p=()
command -v mcs >/dev/null || p+=(mono-mcs)
command -v mono >/dev/null || p+=(mono-runtime)
[ -x /usr/bin/python3 ] || p+=(python3)
/usr/bin/python3 -c "import setuptools, pip, wheel" 2>/dev/null ||
    p+=(python3-setuptools python3-pip python3-wheel)
/usr/bin/python3 -c "import mypy" 2>/dev/null || p+=(mypy) # checks the package's type hints
group "the .NET binding's test (Mono) and the Python binding's (offline pip install, mypy --strict)" ${p[@]+"${p[@]}"}
p=()
command -v pkg-config >/dev/null || p+=(pkgconf)
command -v dpkg-shlibdeps >/dev/null || p+=(dpkg-dev)
command -v file >/dev/null || p+=(file)
group "the install and .deb package tests (pkg-config, cpack's DEB files)" ${p[@]+"${p[@]}"}
p=()
command -v pandoc >/dev/null || p+=(pandoc)
build_group "the manual pages, made from Markdown at build time (pandoc)" ${p[@]+"${p[@]}"}
p=()
command -v man >/dev/null || p+=(man-db)
command -v systemd-analyze >/dev/null || p+=(systemd)
command -v adduser >/dev/null || p+=(adduser)
group "the package tests: man -l renders the pages, systemd-analyze verify checks the service's unit, adduser makes its account" ${p[@]+"${p[@]}"}
p=()
[ -f /usr/include/boost/beast.hpp ] || p+=(libboost-dev)
[ -f /usr/include/httplib.h ] || p+=(libcpp-httplib-dev) # the benchmark's HTTP client
[ -f /usr/include/toml.hpp ] || p+=(libtoml11-dev)
command -v pkg-config >/dev/null || p+=(pkgconf)
[ -f /usr/include/mosquitto.h ] || p+=(libmosquitto-dev)
[ -f /usr/include/sqlite3.h ] || p+=(libsqlite3-dev)
[ -f /usr/include/openssl/evp.h ] || p+=(libssl-dev)
build_group "tarvel-gateway: HTTP on one event loop (Boost.Asio and Boost.Beast), its configuration file (toml11), MQTT (libmosquitto), the register of weighings (SQLite; SHA-256 and HMAC from OpenSSL's libcrypto); the benchmark's HTTP client (cpp-httplib)" ${p[@]+"${p[@]}"}
p=()
command -v sqlite3 >/dev/null || p+=(sqlite3)
build_group "the register's tamper test (the sqlite3 program changes stored records)" ${p[@]+"${p[@]}"}
p=()
[ -x /usr/sbin/mosquitto ] || p+=(mosquitto) # not on a user's PATH
command -v mosquitto_sub >/dev/null || p+=(mosquitto-clients)
group "the gateway's MQTT test and the benchmark (a real broker and its clients)" ${p[@]+"${p[@]}"}
p=()
command -v chromium >/dev/null || p+=(chromium)
command -v node >/dev/null || p+=(nodejs)
command -v npm >/dev/null || p+=(npm)
group "the gateway's page test (headless chromium, driven from Node.js)" ${p[@]+"${p[@]}"}
p=()
# clang with libFuzzer and its sanitizer runtimes (gcc's come with g++).
command -v clang++ >/dev/null || p+=(clang)
dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || p+=(libclang-rt-14-dev)
group "the fuzz stage of the tests (clang, libFuzzer)" ${p[@]+"${p[@]}"}

# The Windows stage's packages (scripts/install-win-deps.sh), with --windows.
if [ "$mode" = --windows ]; then
    while IFS=$'\t' read -r pkgs reason; do
        # shellcheck disable=SC2086 # one package a word
        [ -z "$pkgs" ] || build_group "$reason" $pkgs
    done < <(bash "$here/install-win-deps.sh" --missing)
fi

# The page test's npm packages (playwright-core, pinned), once the Debian packages are there;
# with --windows, the compilers' posix-threads flavour and the deb-src entry.
finish() {
    if [ "$mode" != --build ]; then
        bash "$here/../tests/gateway/npm-ci.sh"
    fi
    if [ "$mode" = --windows ]; then
        bash "$here/install-win-deps.sh" --packages
    fi
}
if [ ${#groups[@]} -eq 0 ]; then
    finish
    exit 0
fi

as_root=()
if [ "$(id -u)" != 0 ]; then
    if ! command -v sudo >/dev/null; then
        echo "install-deps: these Debian packages are missing, and installing them needs root:" >&2
        for i in "${!groups[@]}"; do echo "  ${groups[$i]}  (${why[$i]})" >&2; done
        echo "install-deps: run this script as root, or install sudo" >&2
        exit 1
    fi
    as_root=(sudo env DEBIAN_FRONTEND=noninteractive)
fi
echo "install-deps: installing Debian packages${as_root[*]:+ with sudo (it may ask for your password)}:"
all=()
for i in "${!groups[@]}"; do
    echo "  ${groups[$i]}  - ${why[$i]}"
    read -ra pkgs <<<"${groups[$i]}"
    all+=("${pkgs[@]}")
done
if [ "$mode" = --windows ]; then
    # The deb-src entry and the i386 architecture first, so that one update reads them.
    bash "$here/install-win-deps.sh" --sources
fi
${as_root[@]+"${as_root[@]}"} apt-get update -qq
${as_root[@]+"${as_root[@]}"} apt-get install -y -qq --no-install-recommends "${all[@]}"
finish
