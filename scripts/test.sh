#!/usr/bin/env bash
# Runs every test: the Linux library's suites against the simulator; the same suites under
# AddressSanitizer (leaks included) and UBSan; each fuzz target for a few seconds after its
# seed corpus; then the Windows stage (scripts/test-windows.sh): the 32-bit and the 64-bit DLL
# with their suites and host programs under Wine, and the Windows SDK zip.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset linux
cmake --build --preset linux
ctest --preset linux -j2
# Sanitizer stage (build-asan). The Pascal host programs are left out: see tests/CMakeLists.txt.
cmake --preset linux-asan
cmake --build --preset linux-asan
ctest --preset linux-asan
# Fuzz stage (build-fuzz): any crash, sanitizer report, leak or failed check fails it.
cmake --preset fuzz
cmake --build --preset fuzz
ctest --preset fuzz
if [ -f scripts/test-windows.sh ]; then
    bash scripts/test-windows.sh
fi
