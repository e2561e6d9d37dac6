#!/bin/bash
# scripts/i386-probe.sh both ways, whatever this machine is: pointed at programs that run it
# says "runnable" and exits 0, at ones that cannot run "not runnable" with the reason and exits
# 1; an i386 emulator registered with binfmt_misc makes even a runnable program count as not
# runnable. Then its answer for this machine, which must agree with its exit status.
#   i386_probe_test.sh I386_PROBE_SH WORK_DIR
set -euo pipefail
probe=$1 work=$2
fail() {
    echo "FAIL: $*"
    exit 1
}
rm -rf "$work"
mkdir -p "$work/binfmt" "$work/nobinfmt"
# An ELF header of a 32-bit x86 program and nothing else: no kernel can run it.
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000' >"$work/i386-stub"
chmod +x "$work/i386-stub"
echo enabled >"$work/binfmt/status"
printf 'enabled\ninterpreter /usr/libexec/qemu-binfmt/i386-binfmt-P\nflags: POCF\noffset 0\n%s\n%s\n' \
    'magic 7f454c4601010100000000000000000002000300' \
    'mask fffffffffffefe00fffffffffffffffffeffffff' >"$work/binfmt/qemu-i386"

# expect STATUS PATTERN [PROGRAM...]: runs the probe (TARVEL_BINFMT_DIR set by the caller).
expect() {
    local want=$1 pattern=$2 rc=0 out
    shift 2
    out=$(bash "$probe" "$@") || rc=$?
    echo "$ i386-probe.sh $* -> $rc: $out"
    [ "$rc" -eq "$want" ] || fail "exit status $rc, expected $want"
    [ "$(wc -l <<<"$out")" -eq 1 ] || fail "more than one line"
    grep -Eq "$pattern" <<<"$out" || fail "the line does not match: $pattern"
}
export TARVEL_BINFMT_DIR=$work/nobinfmt
expect 0 '^32-bit programs: runnable on this machine \(i386 exec: /bin/true ran\)$' /bin/true
expect 0 'runnable .*sh -c exit 0 ran' sh -c 'exit 0'
expect 1 '^32-bit programs: not runnable on this machine \(i386 exec: Exec format error\); the 32-bit DLL is built and checked statically$' \
    "$work/i386-stub"
expect 1 'not runnable .*\(i386 exec: .*/absent is not installed\)' "$work/absent"
expect 1 'not runnable .*\(i386 exec: /bin/false failed with status 1\)' /bin/false
TARVEL_BINFMT_DIR=$work/binfmt expect 1 \
    'not runnable .*user-mode emulation by /usr/libexec/qemu-binfmt/i386-binfmt-P' /bin/true

unset TARVEL_BINFMT_DIR
rc=0
out=$(bash "$probe") || rc=$?
echo "this machine: $out"
case $rc in
0) grep -q '^32-bit programs: runnable' <<<"$out" || fail "status 0 with: $out" ;;
1) grep -q '^32-bit programs: not runnable' <<<"$out" || fail "status 1 with: $out" ;;
*) fail "exit status $rc" ;;
esac
echo "i386-probe.sh: all checks passed"
