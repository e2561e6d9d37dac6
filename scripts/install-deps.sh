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
if [ ${#need[@]} -gt 0 ]; then
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
