#!/usr/bin/env bash
# The library's trace (TARVEL_TRACE), through the real `tarvel` program and tarvel-sim:
#   trace_test.sh TARVEL SIM WORKDIR
# Uses loopback addresses 127.0.0.252 (a simulator) and 127.0.0.253 (nothing listens).
set -uo pipefail
TARVEL=$1 SIM=$2 WORK=$3
export LC_ALL=C
# shellcheck source=../../tools/sim/simlib.sh
source "$(dirname "$0")/../../tools/sim/simlib.sh"
rm -rf "$WORK"
mkdir -p "$WORK"
ip=127.0.0.252
start_sim "$WORK" 1 --ip $ip --a 5817:weight=1250,dec=3 --pty msi3360
pty=${PTYS[0]}

# has FILE REGEX: a line of FILE matches REGEX (extended).
has() { grep -Eq -- "$2" "$1" || fail "no line matching '$2' in $1:
$(cat "$1")"; }

# Unset (or empty): the library writes nothing, to stderr or anywhere else.
env -u TARVEL_TRACE "$TARVEL" read --model 5817 --tcp $ip:A >/dev/null 2>"$WORK/quiet" ||
    fail "read without trace failed"
TARVEL_TRACE= "$TARVEL" read --model 5817 --serial /nonexistent/tty >/dev/null 2>>"$WORK/quiet"
! grep -q '^tarvel6 ' "$WORK/quiet" || fail "trace lines without TARVEL_TRACE: $(cat "$WORK/quiet")"

# "1": to stderr. Each export with its arguments and result; the frame taken.
TARVEL_TRACE=1 "$TARVEL" read --model 5817 --tcp $ip:A >/dev/null 2>"$WORK/stderr" ||
    fail "read with trace failed"
has "$WORK/stderr" '^tarvel6 [0-9:.]+ Seta_Ip\("127\.0\.0\.252"\) = 0$'
has "$WORK/stderr" '^tarvel6 [0-9:.]+ W5817\(0, "A"\) = 0$'
has "$WORK/stderr" '^tarvel6 [0-9:.]+ Select_Canal\(0\) = 1$'
has "$WORK/stderr" 'channel 0: frame taken: status 1NNNNkgN, net "     125\.0"'
has "$WORK/stderr" '^tarvel6 [0-9:.]+ Update_Canal\(0\) = 0$'

# A path: appended to that file. A refused connection and serial ports that do not open,
# each with the operating system's reason.
log=$WORK/trace.log
TARVEL_TRACE=$log "$TARVEL" read --model krt --tcp 127.0.0.253:B >/dev/null 2>&1 # nothing listens
has "$log" "channel 0: connection to 127.0.0.253:8882 failed: Connection refused"
TARVEL_TRACE=$log "$TARVEL" read --model 5817 --serial /nonexistent/tty >/dev/null 2>&1
[ $? -eq 4 ] || fail "a missing device should give result 4"
has "$log" 'serial port did not open: /nonexistent/tty: No such file or directory'
has "$log" 'Update_Canal\(0\) = 4'
flock -x "$pty" sleep 3 >/dev/null 2>&1 &
locker=$!
sleep 0.3
TARVEL_TRACE=$log "$TARVEL" read --model msi3360 --serial "$pty" >/dev/null 2>&1
[ $? -eq 4 ] || fail "a busy device should give result 4"
wait $locker
has "$log" "serial port did not open: $pty: in use by another program"
echo "trace: ok"
