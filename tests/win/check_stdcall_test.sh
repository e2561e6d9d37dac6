#!/bin/bash
# The calling-convention check (check_stdcall.py) against two small DLLs made here from one
# source that holds a standard-call and a cdecl function of the same two arguments. Both DLLs
# export Update_NoMotion (two arguments in tarvel6.h: the code must end in "ret $0x8"): one
# names the standard-call function under it, the other the cdecl one, which pops nothing.
# The check must pass the first and fail the second, naming that export and only it.
#   check_stdcall_test.sh CC OBJDUMP CHECK_STDCALL_PY HEADER WORK_DIR [PYTHON]
set -euo pipefail
cc=$1 objdump=$2 checker=$3 header=$4 work=$5 python=${6:-python3}
fail() {
    echo "FAIL: $*"
    exit 1
}
rm -rf "$work"
mkdir -p "$work"
cat >"$work/conventions.c" <<'EOF'
#include <stdint.h>
int32_t __stdcall SetaIp(const char* address) {
    return address != 0 && address[0] == '1' ? 0 : -1;
}
int32_t __stdcall NoMotionStdcall(int32_t channel, int32_t timeoutMs) {
    return channel * 3 + timeoutMs;
}
int32_t __cdecl NoMotionCdecl(int32_t channel, int32_t timeoutMs) {
    return channel * 5 + timeoutMs;
}
EOF
for variant in stdcall:NoMotionStdcall@8 cdecl:NoMotionCdecl; do
    name=${variant%%:*}
    printf 'LIBRARY %s.dll\nEXPORTS\n    Seta_Ip = SetaIp@4\n    Update_NoMotion = %s\n' \
        "$name" "${variant#*:}" >"$work/$name.def"
    "$cc" -std=c11 -Wall -Wextra -Werror -O2 -shared -o "$work/$name.dll" \
        "$work/conventions.c" "$work/$name.def" || fail "$cc could not build $name.dll"
done

echo "== Update_NoMotion exported from the standard-call function"
"$python" "$checker" --dll "$work/stdcall.dll" --header "$header" --objdump "$objdump" \
    --partial || fail "the check rejects a DLL whose exports are all standard-call"

echo "== Update_NoMotion exported from the cdecl function"
rc=0
out=$("$python" "$checker" --dll "$work/cdecl.dll" --header "$header" --objdump "$objdump" \
    --partial) || rc=$?
echo "$out"
[ $rc -eq 1 ] || fail "the check exits $rc on a cdecl export, expected 1"
grep -q '^WRONG Update_NoMotion: returns with ret, pops 0 bytes' <<<"$out" ||
    fail "the check does not name Update_NoMotion and the bytes it pops"
grep -q '^WRONG Seta_Ip' <<<"$out" && fail "the check also rejects the standard-call Seta_Ip"
# shellcheck disable=SC2016 # the dollar is the disassembler's
grep -qF '  Seta_Ip: ret $0x4' <<<"$out" || fail "Seta_Ip not checked"

echo "== the whole header against the small DLL: every missing export is named"
rc=0
out=$("$python" "$checker" --dll "$work/stdcall.dll" --header "$header" --objdump "$objdump") ||
    rc=$?
[ $rc -eq 1 ] || fail "the check exits $rc with 40 exports missing, expected 1"
grep -q '^WRONG Net_Canal: declared in .* but not exported' <<<"$out" ||
    fail "a missing export is not named"
echo "calling-convention check: all checks passed"
