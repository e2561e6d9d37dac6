#!/usr/bin/env bash
# Installs what the Linux build, the tools and the tests need on a Debian machine.
# Idempotent; run as root; non-interactive.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v make >/dev/null || need+=(make)
command -v nm >/dev/null || need+=(binutils)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -d /usr/src/googletest ] || need+=(googletest)
command -v fpc >/dev/null || need+=(fp-compiler fp-units-rtl) # the Pascal host test
# The .NET binding's tests (Mono's compiler and runtime) and the Python binding's (Debian's
# python3, offline pip install with the system's setuptools).
command -v mcs >/dev/null || need+=(mono-mcs)
command -v mono >/dev/null || need+=(mono-runtime)
[ -x /usr/bin/python3 ] || need+=(python3)
/usr/bin/python3 -c "import setuptools, pip, wheel" 2>/dev/null ||
    need+=(python3-setuptools python3-pip python3-wheel)
# The install and .deb tests: pkg-config, and dpkg-shlibdeps and file for cpack's DEB files.
command -v pkg-config >/dev/null || need+=(pkgconf)
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
command -v file >/dev/null || need+=(file)
# The fuzz targets: clang with libFuzzer and its sanitizer runtimes (gcc's come with g++).
command -v clang++ >/dev/null || need+=(clang)
dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
if [ ${#need[@]} -gt 0 ]; then
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
