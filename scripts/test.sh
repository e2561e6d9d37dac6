#!/usr/bin/env bash
# Runs every test: the Linux library's suites against the simulator; the same suites under
# AddressSanitizer (leaks included) and UBSan; each fuzz target for a few seconds after its
# seed corpus; then the Windows stage (scripts/test-windows.sh): the 32-bit and the 64-bit DLL
# with their suites and host programs under Wine, and the Windows SDK zip.
#
# To be quick on two cores: the test suites mostly wait (for time-outs against silent peers,
# for services to start), so the next stage compiles meanwhile, at a low priority so that the
# tests get the processor whenever their peers wake them; and the packages download while
# something compiles:
#   - the packages the Linux build needs (scripts/install-deps.sh --build: nothing when they
#     are there), alone;
#   - the Linux build (build/), while every other package the run needs installs
#     (scripts/install-deps.sh --windows: the tests', the fuzz stage's and the Windows stage's,
#     in one apt-get install);
#   - the Linux tests, while the sanitizer build (build-asan/) compiles and the Windows
#     gateway's libraries are made (scripts/win-deps.sh: built from Debian's sources the first
#     time, then taken from the user's cache), then the user's Wine prefix
#     (scripts/install-win-deps.sh --prefix);
#   - the sanitizer tests, while the fuzz targets (build-fuzz/) and the 64-bit Windows build
#     (build-win64/) are made;
#   - the fuzz runs, alone (they use both cores for a fixed time each);
#   - scripts/test-windows.sh, which finds the 64-bit build done.
# The Windows builds take the simulator programs their tests run natively from the Linux
# build (TARVEL_NATIVE_BUILD) instead of compiling them a third time. Each stage stops the
# command when it fails, as the stages did one after another. The test runs start the longest
# tests first: a build tree without timings of its own gets those of tests/ctest-costs.txt.
# Prints the time of each part at the end.
#   TARVEL_TEST_JOBS  tests run at once in the Linux and sanitizer stages (default 8)
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
jobs=${TARVEL_TEST_JOBS:-8}

. scripts/parts.sh
show_times() {
    echo "== times"
    printf '  %s\n' "${times[@]}"
    echo "test: $1 after $((SECONDS - start)) s (parts in the background overlap)"
}
fail() { # fail STATUS: prints the times so far and exits
    show_times "failed"
    exit "$1"
}
# The timings ctest orders a build tree's tests by, until it has its own: seed_costs DIR.
seed_costs() {
    local d=$1/Testing/Temporary
    if [ ! -f "$d/CTestCostData.txt" ]; then
        mkdir -p "$d"
        cp tests/ctest-costs.txt "$d/CTestCostData.txt"
    fi
}
# A build at a low priority: low COMMAND...
low() { nice -n 15 "$@"; }

t0=$SECONDS
bash scripts/install-deps.sh --build
part "packages for the Linux build" $((SECONDS - t0))

# Every other package of the run, while the Linux build compiles.
bg build/packages.log bash scripts/install-deps.sh --windows
echo "== Linux: configure and build (linux); meanwhile the other packages" \
    "(scripts/install-deps.sh --windows)"
t0=$SECONDS
cmake --preset linux
cmake --build --preset linux || fail $?
part "Linux build" $((SECONDS - t0))
finish "other packages (beside the Linux build)" build/packages.log || fail 1
if grep -q '^install-deps: installing' build/packages.log; then
    # The tests' programs found at configure (chromium, node, fpc) are there now.
    echo "== Linux: configure again, with the tests' packages installed"
    cmake --preset linux >/dev/null
fi

# The Linux tests; the sanitizer stage's build (build-asan) and the Windows gateway's
# libraries beside them. The Pascal host programs are left out there: see tests/CMakeLists.txt.
seed_costs build
bg build/test.log ctest --preset linux -j"$jobs"
also=''
if [ -f scripts/test-windows.sh ]; then
    # The user's Wine prefix too (scripts/test-windows.sh finds it made).
    bg build/win-deps.log bash -c 'nice -n 15 bash scripts/win-deps.sh x86_64-w64-mingw32 &&
        bash scripts/install-win-deps.sh --prefix'
    also=", the Windows gateway's libraries (scripts/win-deps.sh) and the Wine prefix"
fi
echo "== Linux tests (ctest --preset linux -j$jobs) run; meanwhile the sanitizer build" \
    "(linux-asan)$also"
t0=$SECONDS
build_rc=0
cmake --preset linux-asan && low cmake --build --preset linux-asan || build_rc=$?
part "sanitizer build (beside the Linux tests)" $((SECONDS - t0))
finish "Linux tests" build/test.log || fail 1
[ $build_rc -eq 0 ] || fail $build_rc

# The sanitizer tests; the fuzz build (build-fuzz) and the Windows stage's first build beside
# them.
seed_costs build-asan
bg build-asan/test.log ctest --preset linux-asan -j"$jobs"
echo "== sanitizer tests (ctest --preset linux-asan -j$jobs) run; meanwhile the fuzz build (fuzz)"
t0=$SECONDS
cmake --preset fuzz && low cmake --build --preset fuzz || build_rc=$?
part "fuzz build (beside the sanitizer tests)" $((SECONDS - t0))
if [ -n "${bg_pids[build/win-deps.log]:-}" ]; then
    finish "Windows libs, Wine prefix (beside the Linux tests)" build/win-deps.log ||
        build_rc=1
fi
if [ -f scripts/test-windows.sh ] && [ $build_rc -eq 0 ]; then
    # What scripts/test-windows.sh would make first; it finds it made and goes on.
    echo "== Windows: the 64-bit build (windows-x64), while the sanitizer tests run"
    t0=$SECONDS
    cmake --preset windows-x64 -DTARVEL_NATIVE_BUILD="$PWD/build" >/dev/null &&
        low cmake --build --preset windows-x64 || build_rc=$?
    part "Windows: 64-bit build (beside the sanitizer tests)" $((SECONDS - t0))
fi
finish "sanitizer tests" build-asan/test.log || fail 1
[ $build_rc -eq 0 ] || fail $build_rc

# Fuzz stage: any crash, sanitizer report, leak or failed check fails it.
echo "== fuzz runs (ctest --preset fuzz)"
t0=$SECONDS
ctest --preset fuzz || fail 1
part "fuzz runs" $((SECONDS - t0))

if [ -f scripts/test-windows.sh ]; then
    t0=$SECONDS
    # The simulator programs the Windows tests run natively: the Linux build's.
    TARVEL_NATIVE_BUILD=$PWD/build bash scripts/test-windows.sh || fail 1
    part "Windows stage (its parts: above)" $((SECONDS - t0))
fi
show_times "passed"
