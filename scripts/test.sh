#!/usr/bin/env bash
# Runs every test: the Linux library's suites against the simulator, then the 32-bit Windows
# DLL's suites and host program under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset linux
cmake --build --preset linux
ctest --preset linux -j2
if [ -f scripts/test-windows.sh ]; then
    bash scripts/test-windows.sh
fi
