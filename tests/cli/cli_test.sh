#!/usr/bin/env bash
# Runs the real `tarvel` program against tarvel-sim, one group of cases per call:
#   cli_test.sh CASE TARVEL SIM WORKDIR
# Each CASE has its own loopback addresses (127.0.0.240-250), so the groups may run in parallel.
# Exit 0 passed, 1 failed, 77 skipped.
set -uo pipefail
case_name=$1 TARVEL=$2 SIM=$3 WORK=$4/$1
export LC_ALL=C
# shellcheck source=../../tools/sim/simlib.sh
source "$(dirname "$0")/../../tools/sim/simlib.sh"
rm -rf "$WORK"
mkdir -p "$WORK"

OUT= ERR= RC=
# run CMD...: runs it with stdout in $OUT, stderr in $ERR and the exit status in $RC.
run() {
    "$@" >"$WORK/out" 2>"$WORK/err"
    RC=$?
    OUT=$(cat "$WORK/out")
    ERR=$(cat "$WORK/err")
}
# expect STATUS CMD...: run, and fail unless the exit status is STATUS.
expect() {
    local want=$1
    shift
    run "$@"
    [ "$RC" -eq "$want" ] || fail "$* exited $RC, expected $want
stdout: $OUT
stderr: $ERR"
}
# stoppable PID: waits until the process catches SIGINT and SIGTERM (its stop handler is in
# place), so that a signal sent next tests the handler and not a program still starting (which
# takes longer under the sanitizers and on a busy machine).
stoppable() {
    local mask
    for _ in $(seq 300); do
        mask=$(awk '/^SigCgt:/ {print $2}' "/proc/$1/status" 2>/dev/null)
        [ -n "$mask" ] && (((16#$mask & 0x4002) == 0x4002)) && return 0
        sleep 0.1
    done
    fail "process $1 did not set up its SIGINT and SIGTERM handlers within 30 s"
}
# has REGEX: stdout of the last run has a line matching REGEX (extended).
has() {
    grep -Eq -- "$1" <<<"$OUT" || fail "no line matching '$1' in:
$OUT
stderr: $ERR"
}

case $case_name in

read) # values, results in words, stable, version, help and usage errors
    ip=127.0.0.240
    start_sim "$WORK" 0 --ip $ip --a 5817:weight=12345,tare=500,dec=4,net \
        --b krt:weight=2500,dec=3,neg --c msi3360:gross=12.50,net=12.50,tare=0.00,unit=kg \
        --d 5817:weight=999999,over
    expect 0 "$TARVEL" read --model 5817 --tcp $ip:A
    has '^model +5817$'
    has "^channel +$ip:A$"
    has '^result +0 frame read$'
    has '^gross +128\.45$'
    has '^net +123\.45$'
    has '^tare +5\.00$'
    has '^status +1SNNNkgN +\(increment 1, net, unit kg\)$'
    has '^motion +N$'
    expect 0 "$TARVEL" read --model KRT --tcp $ip:b # model and letter in any case
    has '^net +-250\.0$'
    has '^status +1NSNNkgN'
    expect 0 "$TARVEL" read --model 5817c --tcp $ip:A # the raw variant: the frame as is
    has '^counter +.*012345000500'
    expect 0 "$TARVEL" read --model msi3360 --tcp $ip:C
    has '^gross +12\.50$'
    has '^status +EEEEEkgE +\(unit kg\)$'
    expect 3 "$TARVEL" read --model 5817 --tcp $ip:D
    has '^result +3 out of range$'
    has '^status +.*out of range'
    expect 0 "$TARVEL" read --model 5817 --tcp $ip:A --nomotion 3000
    expect 0 "$TARVEL" stable --model 5817 --tcp=$ip:A --seconds 5 --count 3
    has '^result +0 stable$'
    has '^net +123\.45$'
    expect 0 "$TARVEL" version
    has '^tarvel +[0-9]+\.[0-9]+\.[0-9]+$'
    has '^product +TARVEL$'
    has '^version +[0-9]+\.[0-9]+'
    version=$OUT
    expect 0 "$TARVEL" --version # the GNU convention, the same text
    [ "$OUT" = "$version" ] || fail "--version printed: $OUT"
    expect 64 "$TARVEL" --version read

    expect 0 "$TARVEL" --help
    has '^exit status:'
    has 'tarvel dio in'
    has 'tarvel --version'
    for c in read watch stable dio version; do
        expect 0 "$TARVEL" $c --help
        has "^usage: tarvel $c"
        expect 0 "$TARVEL" help $c
        has "^usage: tarvel $c"
    done
    expect 64 "$TARVEL"
    expect 64 "$TARVEL" weigh
    expect 64 "$TARVEL" read --tcp $ip:A
    expect 64 "$TARVEL" read --model 9999 --tcp $ip:A
    expect 64 "$TARVEL" read --model 5817
    expect 64 "$TARVEL" read --model 5817 --tcp $ip:A --serial 1
    expect 64 "$TARVEL" read --model 5817 --tcp $ip:E
    expect 64 "$TARVEL" read --model 5817 --tcp $ip
    expect 64 "$TARVEL" read --model 5817 --tcp scale.local:A
    expect 64 "$TARVEL" read --model 5817 --tcp 127.0.0.256:A
    expect 64 "$TARVEL" read --model 5817 --tcp $ip:A --count 3
    expect 64 "$TARVEL" read --model 5817 --tcp $ip:A --nomotion soon
    expect 64 "$TARVEL" read --model 5817 --tcp $ip:A extra
    expect 64 "$TARVEL" watch --model 5817 --tcp $ip:A --interval -1
    expect 64 "$TARVEL" read --model 5817 --serial 0
    [ -n "$ERR" ] || fail "a usage error says nothing on stderr"
    ;;

nopeer) # nothing listens: the documented failure, in English, in bounded time
    ip=127.0.0.241
    SECONDS=0
    # said PATTERN: stderr of the last run is that one English line (a fixed string).
    said() {
        [ "$ERR" = "tarvel: $1" ] || fail "stderr is not 'tarvel: $1' but: $ERR"
    }
    expect 5 "$TARVEL" read --model 5817 --tcp $ip:A
    said "nothing listens on $ip port 8881: is the converter on, and is its channel A set to TCP server?"
    expect 5 "$TARVEL" read --model 5817 --tcp $ip:A --verbose # the library's text as a detail
    grep -q "^tarvel: detail: .*$ip.*8881" <<<"$ERR" || fail "--verbose gave no detail: $ERR"
    expect 5 "$TARVEL" watch --model krt --tcp $ip:B --count 2
    has " result=5 offline: nothing listens on $ip port 8882: is the converter on, and is its channel B set to TCP server\?$"
    [ "$(wc -l <<<"$OUT")" -eq 1 ] || fail "offline said more than once: $OUT"
    expect 5 "$TARVEL" stable --model msi3360 --tcp $ip:C --seconds 2
    said "nothing listens on $ip port 8883: is the converter on, and is its channel C set to TCP server?"
    expect 5 "$TARVEL" dio in --tcp $ip
    said "could not read the inputs: nothing listens on $ip port 8880, or its reply held no input value: is the converter on, and is its IO port enabled?"
    expect 5 "$TARVEL" dio in 1 --tcp $ip
    # Nothing could be sent: the output commands fail too, and say what failed.
    expect 5 "$TARVEL" dio out 3 --tcp $ip
    said "could not set the outputs to 3: nothing listens on $ip port 8880, or the converter broke the exchange off: is the converter on, and is its IO port enabled?"
    [ -z "$OUT" ] || fail "a failed output printed: $OUT"
    expect 5 "$TARVEL" dio out 3 on --tcp $ip
    said "could not set output 3 on: nothing listens on $ip port 8880, or the converter broke the exchange off: is the converter on, and is its IO port enabled?"
    expect 5 "$TARVEL" dio out SNS --tcp $ip --json
    has '^\{"converter":"'$ip'","result":-1,"error":"could not set the outputs to 5: nothing listens'
    # Every message above is English: no byte outside ASCII without --verbose.
    for args in "read --model ohaus --tcp $ip:D" "dio out 1 off --tcp $ip"; do
        run "$TARVEL" $args
        ! LC_ALL=C grep -q '[^ -~]' <<<"$ERR" || fail "tarvel $args said: $ERR"
    done
    [ "$SECONDS" -lt 60 ] || fail "refused connections took ${SECONDS}s"
    ;;

serial) # --serial with a pty device path, a COM number, COMn; a port that does not open
    start_sim "$WORK" 2 --pty ohaus:weight=-1.5,dec=2 --pty 5817:weight=1000,dec=5
    expect 0 "$TARVEL" read --model ohaus --serial "${PTYS[0]}"
    has "^channel +COM1 \(${PTYS[0]}\)$"
    has '^net +-0*1\.50$'
    # A device path takes the first COM number whose TARVEL_COMn is not set already.
    expect 0 env TARVEL_COM1=/dev/null "$TARVEL" read --model 5817 --serial "${PTYS[1]}"
    has "^channel +COM2 \(${PTYS[1]}\)$"
    has '^net +1\.000$'
    expect 0 env TARVEL_COM7="${PTYS[1]}" "$TARVEL" read --model 5817 --serial 7
    has '^channel +COM7$'
    expect 0 env TARVEL_COM7="${PTYS[1]}" "$TARVEL" read --model 5817 --serial com7
    expect 0 "$TARVEL" watch --model 5817 --serial "${PTYS[1]}" --count 2 --interval 100
    [ "$(grep -c ' result=0 .*net=1\.000 ' <<<"$OUT")" -eq 2 ] || fail "watch over a pty: $OUT"
    expect 4 "$TARVEL" read --model ohaus --serial "$WORK/no-such-tty"
    has '^result +4 serial port did not open$'
    ;;

dio) # inputs and one input; the output port in both forms and one output; the commands the
    # converter got; every range checked before anything is sent
    ip=127.0.0.243
    start_sim "$WORK" 0 --ip $ip --io --in 5 --verbose
    expect 0 "$TARVEL" dio in --tcp $ip
    has '^inputs 5 SNSNNNNN$'
    expect 0 "$TARVEL" dio in --tcp $ip:A # a channel letter is accepted and ignored
    expect 0 "$TARVEL" dio in 2 --tcp $ip
    has '^input 2 on$'
    expect 0 "$TARVEL" dio in 1 --tcp $ip
    has '^input 1 off$'
    expect 0 "$TARVEL" dio out SNS --tcp $ip
    has '^outputs 5 SNSNNNNN sent$'
    expect 0 "$TARVEL" dio out 6 --tcp $ip
    has '^outputs 6 NSSNNNNN sent$'
    expect 0 "$TARVEL" dio out 3 ON --tcp $ip
    has '^output 3 on sent$'
    expect 0 "$TARVEL" dio out 7 0 --tcp $ip
    has '^output 7 off sent$'
    expect 0 "$TARVEL" dio out 255 --tcp $ip
    for cmd in OP5 OP6 OB13 OB07 OP255; do # the simulator reports commands every 100 ms
        for _ in $(seq 50); do grep -q "io: $cmd " "$SIM_LOG" && break; sleep 0.1; done
        grep -q "io: $cmd " "$SIM_LOG" || fail "the converter never got $cmd"
    done
    # Refused before anything is sent: the converter sees no other command.
    before=$(grep -c "io: " "$SIM_LOG")
    for args in "--tcp $ip" "in" "toggle --tcp $ip" "out SNX --tcp $ip" "out SNSNSNSNS --tcp $ip" \
        "out 256 --tcp $ip" "out 8 on --tcp $ip" "out 3 maybe --tcp $ip" "out 3 S --tcp $ip" \
        "in 8 --tcp $ip" "in 1 2 --tcp $ip" "out 1 on extra --tcp $ip" "bit 3 --tcp $ip"; do
        expect 64 "$TARVEL" dio $args
    done
    expect 64 "$TARVEL" dio bit 3 on --tcp $ip # the old form names the new ones
    grep -q 'dio in BIT.*dio out BIT on|off' <<<"$ERR" || fail "dio bit said: $ERR"
    sleep 0.3
    [ "$(grep -c "io: " "$SIM_LOG")" -eq "$before" ] || fail "a refused command reached the converter"
    ;;

watch) # changing weights, a line per poll with the local time and its offset; a weight that
    # never settles
    ip=127.0.0.244
    start_sim "$WORK" 0 --ip $ip --a 5817:mode=ramp,from=0,to=1000,step=10
    expect 2 "$TARVEL" stable --model 5817 --tcp $ip:A --seconds 2 --count 5
    has '^result +2 not stable in time$'
    expect 0 "$TARVEL" watch --model 5817 --tcp $ip:A --count 6 --interval 300
    [ "$(wc -l <<<"$OUT")" -eq 6 ] || fail "expected 6 lines: $OUT"
    bad=$(grep -Ev '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]{12}[+-][0-9]{2}:[0-9]{2} result=0 gross=[0-9.]+ net=[0-9.]+ ' <<<"$OUT")
    [ -z "$bad" ] || fail "malformed watch lines: $bad"
    distinct=$(grep -o ' net=[0-9.]*' <<<"$OUT" | sort -u | wc -l)
    [ "$distinct" -ge 3 ] || fail "the weight did not change: $OUT"
    # The offset is the machine's: a zone east of UTC shows as one.
    expect 0 env TZ=XYZ-3 "$TARVEL" watch --model 5817 --tcp $ip:A --count 1
    has '^[0-9T:.-]{23}\+03:00 result=0 '
    ;;

interrupt) # Ctrl-C ends watch cleanly, after the running poll; twice ends it at once
    ip=127.0.0.245
    start_sim "$WORK" 0 --ip $ip --a 5817:weight=100 --b silent
    "$TARVEL" watch --model 5817 --tcp $ip:A --interval 200 >"$WORK/w1" 2>&1 &
    pid=$!
    for _ in $(seq 100); do [ "$(wc -l <"$WORK/w1")" -ge 2 ] && break; sleep 0.1; done
    kill -INT $pid
    wait $pid
    rc=$?
    [ $rc -eq 0 ] || fail "watch ended $rc after SIGINT: $(cat "$WORK/w1")"
    grep -q ' result=0 gross=100 ' "$WORK/w1" || fail "watch printed: $(cat "$WORK/w1")"
    # SIGINT while a poll waits on a silent indicator: ends once that poll has given up.
    "$TARVEL" watch --model 5817 --tcp $ip:B --nomotion 2000 >"$WORK/w2" 2>&1 &
    pid=$!
    stoppable $pid
    sleep 0.5
    SECONDS=0
    kill -TERM $pid
    wait $pid
    rc=$?
    [ $rc -eq 0 ] || fail "watch ended $rc after SIGTERM"
    [ "$SECONDS" -lt 30 ] || fail "watch took ${SECONDS}s to stop"
    grep -q ' result=2 (no frame without motion)' "$WORK/w2" || fail "watch printed: $(cat "$WORK/w2")"
    "$TARVEL" watch --model 5817 --tcp $ip:B >"$WORK/w3" 2>&1 &
    pid=$!
    stoppable $pid
    sleep 0.5
    kill -INT $pid
    sleep 0.3
    kill -INT $pid
    wait $pid
    rc=$?
    [ $rc -eq 130 ] || fail "a second SIGINT ended watch with $rc"
    ;;

terminal) # the progress line on a terminal only; no frame (1) and no stable frame (2)
    ip=127.0.0.246
    command -v script >/dev/null || {
        echo "SKIP: no script(1) to run tarvel on a terminal"
        exit 77
    }
    start_sim "$WORK" 0 --ip $ip --a silent
    # script(1) gives the program a pseudo-terminal and returns its exit status.
    expect 2 script -qec "$TARVEL read --model 5817 --tcp $ip:A --nomotion 2500" /dev/null
    has "waiting for a frame from $ip:A \.\.\. 1 s"
    has 'result +2 no frame without motion'
    expect 2 script -qec "$TARVEL read --quiet --model 5817 --tcp $ip:A --nomotion 1500" /dev/null
    grep -q waiting <<<"$OUT" && fail "--quiet still showed progress: $OUT"
    # Not a terminal: the wait is said once, as a plain line, then why nothing came.
    expect 1 "$TARVEL" read --model msi3360 --tcp $ip:A
    has '^result +1 no frame$'
    [ "$ERR" = "tarvel: waiting for a frame from $ip:A (1 s so far)
tarvel: no frame from $ip:A within 5 s: is the indicator on and cabled to the converter's channel A, and is that channel set to 9600 baud, 8 data bits, no parity, 1 stop bit?" ] ||
        fail "stderr that is not a terminal: $ERR"
    expect 1 "$TARVEL" watch --model msi3360 --tcp $ip:A --count 2 --interval 0
    [ "$(grep -c 'waiting for a frame' <<<"$ERR")" -eq 1 ] || fail "a silent channel said: $ERR"
    expect 1 "$TARVEL" read --model msi3360 --tcp $ip:A --quiet
    ! grep -q waiting <<<"$ERR" || fail "--quiet still said: $ERR"
    ;;

json) # --json: records and dio objects, parsed by python3's json module (the record of each
    # model's texts: tools/common/tests)
    ip=127.0.0.247
    command -v python3 >/dev/null || {
        echo "SKIP: no python3 to parse the JSON"
        exit 77
    }
    # Channel A changes every second between a steady weight and one in motion.
    printf '1000 12345\n1000 12345 motion\n' >"$WORK/steps.txt"
    start_sim "$WORK" 1 --ip $ip --a 5817:weight=12345,tare=500,dec=4,net \
        --b krt:weight=2500,dec=3,neg,motion --d msi6260:gross=10.00,tare=2.00,net=8.00 --io \
        --in 5 --pty ohaus:weight=-1.5,dec=2
    # j NAME STATUS ARGS...: runs tarvel ARGS --json, keeps stdout in NAME.json.
    j() {
        local name=$1 want=$2
        shift 2
        expect "$want" "$TARVEL" "$@" --json
        printf '%s\n' "$OUT" >"$WORK/$name.json"
    }
    j 5817 0 read --model 5817 --tcp $ip:A --name truck1
    j msi6260 0 read --model msi6260 --tcp $ip:D
    j ohaus 0 read --model ohaus --serial "${PTYS[0]}"
    j stable 0 stable --model 5817 --tcp $ip:A --count 3
    j stale 1 watch --model msi3360 --tcp $ip:A --count 2 --interval 0 --nomotion 200
    j offline 5 read --model krt --tcp 127.0.0.248:B
    j dio_in 0 dio in --tcp $ip
    j dio_bit_in 0 dio in 2 --tcp $ip
    j dio_out 0 dio out SNS --tcp $ip
    j dio_bit_out 0 dio out 3 on --tcp $ip
    j dio_none 5 dio in --tcp 127.0.0.248
    j dio_bit_none 5 dio in 4 --tcp 127.0.0.248
    # A comma locale (built here, not installed): the texts take the comma, the numbers not.
    mkdir -p "$WORK/locale"
    localedef -i de_DE -f UTF-8 "$WORK/locale/de_DE.UTF-8" >/dev/null 2>&1 # warns: status 1
    [ -f "$WORK/locale/de_DE.UTF-8/LC_NUMERIC" ] ||
        fail "localedef could not build de_DE.UTF-8 (the locales package is missing?)"
    # The C library keeps a little memory for LOCPATH, which a sanitizer build would report.
    echo "leak:__argz_add_sep" >"$WORK/lsan.supp"
    expect 0 env LC_ALL= LOCPATH="$WORK/locale" LC_NUMERIC=de_DE.UTF-8 \
        LSAN_OPTIONS="suppressions=$WORK/lsan.supp" "$TARVEL" read --model krt --tcp $ip:B --json
    printf '%s\n' "$OUT" >"$WORK/comma.json"
    expect 64 "$TARVEL" version --json
    expect 64 "$TARVEL" read --model 5817 --tcp $ip:A --name x # --name without --json
    # A scale that goes in and out of motion: ok and stale records, in one run.
    stop_sim
    start_sim "$WORK" 0 --ip $ip --a "5817:mode=script,file=$WORK/steps.txt,dec=4"
    "$TARVEL" watch --model 5817 --tcp $ip:A --json --interval 0 --nomotion 300 \
        >"$WORK/moving.json" 2>"$WORK/err" &
    pid=$!
    stoppable $pid
    sleep 4
    kill -INT $pid
    wait $pid || fail "watch --json ended $?: $(cat "$WORK/err")"

    python3 - "$WORK" "$ip" <<'PY' || fail "the JSON above is not as documented"
import json, re, sys
work, ip = sys.argv[1], sys.argv[2]
KEYS = ["scale", "model", "seq", "time", "status", "gross", "net", "tare", "unit", "stable",
        "overload", "negative", "texts"]
TEXTS = ["gross", "net", "tare", "total", "counter", "status", "motion"]
TIME = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
bad = []

def records(name):
    lines = open(f"{work}/{name}.json").read().splitlines()
    out = []
    for line in lines:
        r = json.loads(line)  # one object per line
        keys = KEYS if r["status"] == "ok" else KEYS[:5] + ["since", "reason"] + KEYS[5:]
        if list(r) != keys or list(r["texts"]) != TEXTS:
            bad.append(f"{name}: keys {list(r)} {list(r['texts'])}")
        if not TIME.match(r["time"]):
            bad.append(f"{name}: time {r['time']}")
        out.append((line, r))
    return out

def check(name, want, raw=()):
    [(line, r)] = records(name)
    for key, value in want.items():
        got = r["texts"][key[6:]] if key.startswith("texts.") else r[key]
        if got != value or type(got) != type(value):
            bad.append(f"{name}: {key} is {got!r}, expected {value!r}")
    for text in raw:  # numbers as printed: shortest form, a point
        if text not in line:
            bad.append(f"{name}: no {text} in {line}")

# model, what its record must hold
N = None
check("5817", {"scale": "truck1", "model": "5817", "seq": 1, "status": "ok", "gross": 128.45,
               "net": 123.45, "tare": 5.0, "unit": "kg", "stable": True, "overload": False,
               "negative": False, "texts.net": "    123.45", "texts.status": "1SNNNkgN",
               "texts.motion": "N"}, ['"gross":128.45,', '"tare":5.0,'])
check("msi6260", {"scale": "msi6260", "gross": 10.0, "net": N, "tare": N, "unit": "KG",
                  "stable": N, "texts.net": "EEEEEEE", "texts.status": "EEEEEKGE"})
check("ohaus", {"gross": N, "net": -1.5, "tare": N, "unit": "kg", "stable": True,
                "negative": True, "overload": N, "texts.gross": "EEEEEEEEEE"})
check("stable", {"status": "ok", "net": 123.45})
check("comma", {"net": -250.0, "texts.net": "    -250,0"}, ['"net":-250.0,'])
check("offline", {"model": "krt", "status": "offline", "reason": "could not connect",
                  "net": N, "texts.net": N, "texts.status": N})
[(_, off)] = records("offline")
if off["since"] != off["time"]:
    bad.append("offline: since is not the time of the failed connection")

# Polls that fail: stale, seq counts on, since stays where the status began.
stale = [r for _, r in records("stale")]
if [r["seq"] for r in stale] != [1, 2] or {r["status"] for r in stale} != {"stale"} \
        or stale[1]["since"] != stale[0]["time"] or stale[0]["reason"] != "no frame in time":
    bad.append(f"stale: {stale}")

moving = [r for _, r in records("moving")]
if [r["seq"] for r in moving] != list(range(1, len(moving) + 1)):
    bad.append("moving: seq does not count the polls")
for prev, r in zip(moving, moving[1:]):
    if r["status"] == "stale":
        # Keeps the last weights; since is when this run of stale polls began.
        if r["net"] != prev["net"] or r["texts"] != prev["texts"]:
            bad.append(f"moving: a stale record lost the weights: {prev} -> {r}")
        began = r["time"] if prev["status"] != "stale" else prev["since"]
        if r["since"] != began or r["reason"] != "no frame without motion in time":
            bad.append(f"moving: since/reason {r}")
if not any(p["status"] == "ok" and r["status"] == "stale" for p, r in zip(moving, moving[1:])):
    bad.append(f"moving: no ok record followed by a stale one in {len(moving)} records")
if not any(r["status"] == "ok" and r["net"] == 123.45 for r in moving):
    bad.append("moving: no ok record with net 123.45")

dio = {name: json.loads(open(f"{work}/{name}.json").read())
       for name in ["dio_in", "dio_bit_in", "dio_out", "dio_bit_out", "dio_none", "dio_bit_none"]}
refused = ("nothing listens on 127.0.0.248 port 8880, or its reply held no input value: is the "
           "converter on, and is its IO port enabled?")
want = {"dio_in": {"converter": ip, "value": 5, "bits": "SNSNNNNN"},
        "dio_bit_in": {"converter": ip, "bit": 2, "on": True},
        "dio_out": {"converter": ip, "result": 0},
        "dio_bit_out": {"converter": ip, "result": 0},
        "dio_none": {"converter": "127.0.0.248", "value": -1, "bits": "EEEEEEEE",
                     "error": "could not read the inputs: " + refused},
        "dio_bit_none": {"converter": "127.0.0.248", "bit": 4, "on": None,
                         "error": "could not read input 4: " + refused}}
for name in want:
    if dio[name] != want[name] or list(dio[name]) != list(want[name]):
        bad.append(f"{name}: {dio[name]}")

for b in bad:
    print("FAIL:", b)
sys.exit(1 if bad else 0)
PY
    ;;

stable) # the load cycle of a weighbridge through `tarvel stable`, many times: it never settles
    # on a moving weight; weights that never come to rest fail within the time
    ip=127.0.0.250
    command -v python3 >/dev/null || {
        echo "SKIP: no python3 to parse the JSON"
        exit 77
    }
    # Empty, a truck driving on (moving, several frames of the same net each step), weighed,
    # driving off: 3.6 s, again and again.
    printf '%s\n' "600 0" "300 2150 motion" "300 9800 motion" "300 16420 motion" "1500 18460" \
        "300 7200 motion" "300 950 motion" >"$WORK/load.txt"
    start_sim "$WORK" 0 --ip $ip --a "5817:mode=script,file=$WORK/load.txt,dec=3" \
        --b 5817:weight=1500,motion --c msi3360:gross=12.50,net=12.50,tare=0.00 \
        --d 5817:weight=999999,over
    for i in $(seq 12); do
        expect 0 "$TARVEL" stable --model 5817 --tcp $ip:A --count 3 --seconds 5 --json
        printf '%s\n' "$OUT" >>"$WORK/cycle.json"
        sleep "0.$((i * 7 % 10))" # start at another point of the cycle
    done
    python3 - "$WORK/cycle.json" <<'PY' || fail "a stable read of the load cycle was not at rest"
import json, sys
records = [json.loads(line) for line in open(sys.argv[1])]
assert len(records) == 12, len(records)
for r in records:
    assert r["status"] == "ok" and r["stable"] is True and r["overload"] is False, r
    assert r["texts"]["motion"] == "N" and r["texts"]["status"][4] == "N", r
    assert r["net"] in (0.0, 1846.0), r
PY
    expect 0 "$TARVEL" stable --model 5817 --tcp $ip:A --count 3 --seconds 5
    has '^result +0 stable$'
    has '^motion +N$'
    # Every frame in motion, the same net each time: LePesoConsecutivo would call it stable.
    SECONDS=0
    expect 2 "$TARVEL" stable --model 5817 --tcp $ip:B --count 3 --seconds 2
    has '^result +2 not stable in time$'
    [ "$ERR" = "tarvel: the weight on $ip:B did not settle within 2 s: 3 readings in a row without motion, within range and with the same net weight were needed" ] ||
        fail "stderr: $ERR"
    [ "$SECONDS" -lt 15 ] || fail "a 2 s stable read took ${SECONDS}s"
    expect 2 "$TARVEL" stable --model 5817 --tcp $ip:B --count 3 --seconds 1 --json
    grep -q '"stable":false' <<<"$OUT" || fail "the last reading was not the moving one: $OUT"
    # A family that does not tell motion settles on its net; the raw variant never does; out
    # of range never settles either.
    expect 0 "$TARVEL" stable --model msi3360 --tcp $ip:C --count 3 --seconds 5
    has '^net +12\.50$'
    expect 2 "$TARVEL" stable --model 5817c --tcp $ip:A --count 2 --seconds 1
    grep -q '5817c) carries no weight' <<<"$ERR" || fail "stderr: $ERR"
    expect 3 "$TARVEL" stable --model 5817 --tcp $ip:D --count 2 --seconds 1
    grep -q 'reports out of range' <<<"$ERR" || fail "stderr: $ERR"
    expect 64 "$TARVEL" stable --model 5817 --tcp $ip:A --count 101
    ;;

offline) # watch against a converter that is not there: a back-off, not a busy loop; each
    # change of state said once
    ip=127.0.0.249
    "$TARVEL" watch --model 5817 --tcp $ip:A --interval 0 >"$WORK/w" 2>"$WORK/e" &
    pid=$!
    sleep 10
    # CPU time of the process (user + system, in clock ticks) over those 10 s: under 5 %.
    read -ra stat <"/proc/$pid/stat"
    ticks=$((stat[13] + stat[14])) hz=$(getconf CLK_TCK)
    [ $((ticks * 100)) -lt $((hz * 10 * 5)) ] ||
        fail "watch used $ticks ticks of $hz/s in 10 s against nothing"
    [ "$(grep -c . "$WORK/w")" -eq 1 ] && grep -q " result=5 offline: nothing listens on $ip port 8881" "$WORK/w" ||
        fail "offline was not said once: $(cat "$WORK/w")"
    # The converter comes up: readings follow (within the back-off, at most 30 s)...
    start_sim "$WORK" 0 --ip $ip --a 5817:weight=4200
    for _ in $(seq 300); do grep -q ' result=0 ' "$WORK/w" && break; sleep 0.1; done
    grep -q ' result=0 gross=4200 ' "$WORK/w" || fail "no reading after the converter came up: $(cat "$WORK/w")"
    # ... and goes again: offline is said once more.
    stop_sim
    for _ in $(seq 250); do [ "$(grep -c ' offline: ' "$WORK/w")" -ge 2 ] && break; sleep 0.1; done
    sleep 2
    kill -INT $pid
    wait $pid || fail "watch ended $? after SIGINT"
    [ "$(grep -c ' offline: ' "$WORK/w")" -eq 2 ] || fail "watch printed: $(cat "$WORK/w")"
    ;;

*)
    echo "unknown case $case_name" >&2
    exit 2
    ;;
esac
echo "passed: $case_name"
