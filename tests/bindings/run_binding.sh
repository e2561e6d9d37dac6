#!/usr/bin/env bash
# Runs a binding's host programs against the real library and tarvel-sim:
#   run_binding.sh c       SIM SRCDIR WORKDIR LIBDIR EXAMPLE_BINARY
#   run_binding.sh pascal  SIM SRCDIR WORKDIR LIBDIR FPC
#   run_binding.sh dotnet  SIM SRCDIR WORKDIR LIBDIR
#   run_binding.sh python  SIM SRCDIR WORKDIR LIBDIR PYTHON
# c, pascal: examples/minimal.{c,pas} must print the simulated weight and give the poll's
#   result as exit status; pascal also runs tests/pascal/host.pas (the unit's calls one by
#   one) and bindings/pascal/example.pas (its output and documented exit codes).
# dotnet: builds the binding with mcs, runs tests/bindings/dotnet/BindingTests.cs and
#   examples/Minimal.cs under mono.
# python: installs bindings/python with pip into WORKDIR (offline), checks the package and
#   examples/minimal.py with `mypy --strict`, runs the unittest suite tests/bindings/python and
#   examples/minimal.py.
# Exit status 77 (skipped) when the language's tools are missing.
set -euo pipefail
what=$1 SIM=$2 src=$3 work=$4 libdir=$5
shift 5
# shellcheck source=../../tools/sim/simlib.sh
source "$src/tools/sim/simlib.sh"
export LC_ALL=C LD_LIBRARY_PATH="$libdir"
rm -rf "$work"
mkdir -p "$work"

skip() {
    echo "SKIP: $*"
    exit 77
}

# The simulated weight each example must print.
expect_net() {
    local out=$1
    case $out in *123.45*) ;; *) fail "expected net 123.45, got: $out" ;; esac
}

case $what in
c | pascal)
    if [ "$what" = c ]; then
        prog=$1 ip=127.0.6.10
    else
        fpc=$1 ip=127.0.6.11 prog=$work/minimal
        for p in examples/minimal.pas bindings/pascal/example.pas tests/pascal/host.pas; do
            "$fpc" -Mdelphi -Fu"$src/bindings/pascal" -FU"$work" -o"$work/$(basename "$p" .pas)" \
                -Fl"$libdir" "$src/$p" >"$work/fpc.log" 2>&1 ||
                { cat "$work/fpc.log"; fail "fpc could not build $p"; }
        done
    fi
    start_sim "$work" 0 --ip $ip --a 5817:weight=12345,tare=500,dec=4 --b 5817:weight=999999,over
    out=$("$prog" $ip A) || fail "exit $? reading channel A: $out"
    [ "$out" = "net     123.45 status 1NNNNkgN" ] || fail "printed: $out"
    # exit_is STATUS PROGRAM ARGS...: the program ends with STATUS.
    exit_is() {
        local want=$1 rc=0
        shift
        "$@" >/dev/null || rc=$?
        [ $rc -eq "$want" ] || fail "$* exited $rc, expected $want"
    }
    exit_is 3 "$prog" $ip b # out of range
    exit_is 6 "$prog" $ip E # no channel letter E
    if [ "$what" = pascal ]; then
        "$work/host" $ip "    123.45" || fail "host.pas reported failures"
        out=$("$work/example" $ip A) || fail "example exited $?: $out"
        [ "$out" = "net 123.45 gross 128.45 tare 5.00 status 1NNNNkgN" ] || fail "example: $out"
        exit_is 3 "$work/example" $ip b
        exit_is 5 "$work/example" 127.0.6.19 A # nothing listens
        exit_is 6 "$work/example" $ip E
        exit_is 64 "$work/example"
    fi
    ;;
dotnet)
    command -v mcs >/dev/null && command -v mono >/dev/null ||
        skip "mcs and mono are not installed (scripts/install-deps.sh installs them)"
    # The binding as a host would take it: Tarvel6.Net.dll with its dllmap next to it.
    mcs -nologo -warnaserror -target:library -out:"$work/Tarvel6.Net.dll" \
        "$src/bindings/dotnet/Tarvel6.Native.cs" "$src/bindings/dotnet/Tarvel6.cs" ||
        fail "mcs could not build the binding"
    cp "$src/bindings/dotnet/Tarvel6.Net.dll.config" "$work/"
    for p in tests/bindings/dotnet/BindingTests.cs examples/Minimal.cs; do
        mcs -nologo -warnaserror -r:"$work/Tarvel6.Net.dll" -out:"$work/$(basename "$p" .cs).exe" \
            "$src/$p" || fail "mcs could not build $p"
    done
    ip=127.0.6.20 cycle=127.0.6.22
    # The load cycle of a weighbridge: empty, a truck driving on, weighed, driving off.
    printf '%s\n' "600 0" "300 2150 motion" "300 9800 motion" "300 16420 motion" "1500 18460" \
        "300 7200 motion" "300 950 motion" >"$work/load.txt"
    # A second simulator for it, beside the one start_sim runs.
    "$SIM" --ip $cycle --a "5817:mode=script,file=$work/load.txt,dec=3" --b 5817:weight=1500,motion \
        2>"$work/cycle.log" &
    cycle_pid=$!
    trap 'kill $cycle_pid 2>/dev/null; stop_sim' EXIT
    for _ in $(seq 150); do grep -q "converter on" "$work/cycle.log" && break; sleep 0.1; done
    grep -q "converter on" "$work/cycle.log" || fail "tarvel-sim for the load cycle did not start"
    start_sim "$work" 1 --ip $ip --io --in 5 --verbose --a 5817:weight=12345,tare=500,dec=4 \
        --b 5817:weight=999999,over --c 5817:mode=oscillate,weight=1000,amp=50 \
        --d msi3360:gross=12.5,net=10.5,tare=2 --pty ohaus:weight=1.5
    mono "$work/BindingTests.exe" $ip "${PTYS[0]}" 127.0.6.21 $cycle || fail "BindingTests failed"
    # The converter does not confirm outputs: wait for the simulator to log them.
    for cmd in OP5 OB13 RA; do
        for _ in $(seq 100); do
            grep -q "io: $cmd" "$SIM_LOG" && break
            sleep 0.1
        done
        grep -q "io: $cmd" "$SIM_LOG" || fail "the converter never got $cmd"
    done
    out=$(mono "$work/Minimal.exe" $ip A) || fail "Minimal.exe exited $?: $out"
    expect_net "$out"
    rc=0
    mono "$work/Minimal.exe" 127.0.6.21 A >"$work/refused.txt" 2>&1 || rc=$?
    [ $rc -ne 0 ] && grep -q "ConnectException" "$work/refused.txt" ||
        fail "Minimal.exe with nothing listening: exit $rc, $(cat "$work/refused.txt")"
    ;;
python)
    python=$1
    [ -x "$python" ] || skip "$python is not there (scripts/install-deps.sh installs python3)"
    # Offline: setuptools from the system, no index; from a copy, as setuptools writes its
    # build files next to the sources.
    cp -r "$src/bindings/python" "$work/package"
    "$python" -m pip install --quiet --no-build-isolation --no-index --target "$work/site" \
        "$work/package" >"$work/pip.log" 2>&1 || { cat "$work/pip.log"; fail "pip install failed"; }
    # The type hints are complete and true: py.typed promises as much.
    "$python" -m mypy --version >/dev/null 2>&1 ||
        fail "mypy is not installed for $python (scripts/install-deps.sh installs the package mypy)"
    (cd "$work/package" && "$python" -m mypy --strict --no-incremental tarvel6) ||
        fail "mypy --strict found faults in the tarvel6 package"
    (cd "$work" && MYPYPATH=$work/package "$python" -m mypy --strict --no-incremental \
        "$src/examples/minimal.py") || fail "mypy --strict found faults in examples/minimal.py"
    export PYTHONPATH=$work/site TARVEL6_LIBRARY=$libdir/libTarvel6.so.2 TARVEL_SIM=$SIM
    export TARVEL_LIBDIR=$libdir
    (cd "$work" && "$python" -m unittest discover -s "$src/tests/bindings/python" -t "$src/tests/bindings/python" -v) ||
        fail "the Python tests failed"
    ip=127.0.6.30
    start_sim "$work" 0 --ip $ip --a 5817:weight=12345,tare=500,dec=4
    out=$("$python" "$src/examples/minimal.py" $ip A) || fail "minimal.py exited $?: $out"
    expect_net "$out"
    ;;
*)
    fail "unknown case $what"
    ;;
esac
echo "$what: all passed"
