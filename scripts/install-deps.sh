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
# The fuzz targets: clang with libFuzzer and its sanitizer runtimes (gcc's come with g++).
command -v clang++ >/dev/null || need+=(clang)
dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
if [ ${#need[@]} -gt 0 ]; then
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
