#!/usr/bin/env bash
# Whether this machine runs 32-bit x86 programs, found by running one: Debian's i386 dynamic
# loader (/lib/ld-linux.so.2, from libc6:i386, which wine32:i386 brings) asked for its version.
# Some kernels are built without IA-32 emulation, or have it switched off, and then every i386
# program fails with "Exec format error"; the kernel's version says nothing about it, so the
# only sure test is to try. A program that runs only through user-mode emulation (qemu-i386
# registered with binfmt_misc) counts as not runnable: Wine under emulation is far too slow
# for the tests.
#
#   scripts/i386-probe.sh [PROGRAM [ARGUMENT...]]
#
# Prints one line and exits 0 when 32-bit programs run, 1 when they do not:
#   32-bit programs: runnable on this machine (i386 exec: /lib/ld-linux.so.2 --version ran)
#   32-bit programs: not runnable on this machine (i386 exec: Exec format error); the 32-bit
#   DLL is built and checked statically                                  (all on one line)
#
#   PROGRAM             the program to try instead of the i386 loader (with its arguments);
#                       to see the answer both ways, point it at one that runs and at one
#                       that does not
#   TARVEL_BINFMT_DIR   where binfmt_misc registrations are read (/proc/sys/fs/binfmt_misc)
set -uo pipefail

if [ $# -gt 0 ]; then
    probe=("$@")
else
    probe=(/lib/ld-linux.so.2 --version)
fi
binfmt=${TARVEL_BINFMT_DIR:-/proc/sys/fs/binfmt_misc}

runnable() {
    echo "32-bit programs: runnable on this machine (i386 exec: ${probe[*]} ran)"
    exit 0
}
not_runnable() {
    echo "32-bit programs: not runnable on this machine (i386 exec: $1);" \
        "the 32-bit DLL is built and checked statically"
    exit 1
}

# An enabled binfmt_misc entry for i386 ELF files: the kernel hands such programs to a user-mode
# emulator instead of running them. Its magic is the ELF identification of a 32-bit
# little-endian file (7f454c46 01 01) with machine 3 (0300) at byte 18.
emulator_for_i386() {
    local f magic
    [ -r "$binfmt/status" ] && [ "$(cat "$binfmt/status" 2>/dev/null)" = enabled ] || return 1
    for f in "$binfmt"/*; do
        case ${f##*/} in register | status) continue ;; esac
        { [ -r "$f" ] && head -n1 "$f" | grep -qx enabled; } || continue
        magic=$(sed -n 's/^magic //p' "$f")
        if [[ $magic == 7f454c460101* ]] && [ "${magic:36:4}" = 0300 ]; then
            sed -n 's/^interpreter //p' "$f"
            return 0
        fi
    done
    return 1
}

if ! command -v "${probe[0]}" >/dev/null; then
    not_runnable "${probe[0]} is not installed"
fi
if interp=$(emulator_for_i386); then
    not_runnable "only through user-mode emulation by ${interp:-an emulator} (binfmt_misc)"
fi
# The program's own output goes nowhere; the reason for a failure is the end of the last line
# the shell printed ("...: cannot execute binary file: Exec format error").
err=$("${probe[@]}" 2>&1 >/dev/null)
rc=$?
if [ $rc -eq 0 ]; then
    runnable
fi
reason=$(printf '%s\n' "$err" | tail -n1 | sed 's/^.*: //')
case $rc in
126) not_runnable "${reason:-not executable}" ;;
127) not_runnable "${reason:-not found}" ;;
*) not_runnable "${probe[*]} failed with status $rc${reason:+: $reason}" ;;
esac
