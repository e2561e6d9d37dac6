#!/usr/bin/env python3
"""Checks the calling convention of a 32-bit Tarvel6.dll without running it.

A standard-call function removes its own arguments from the stack: it returns with
"ret $N", N being 4 bytes for each 32-bit argument. A host compiled against tarvel6.h calls
every export that way, so an export that pops another number of bytes (a cdecl function
pops none) leaves the host's stack pointer wrong after the call. Running the DLL would show
it; where 32-bit programs cannot run, the machine code can still be read.

For each function that include/tarvel6.h declares, N comes from the header (4 bytes per
argument, 8 for a 64-bit one), the export's address from the DLL's export table, and every
return instruction reachable from that address (following jumps, not calls, and stopping at
the next function's symbol) must pop N bytes.

    check_stdcall.py --dll Tarvel6.dll --header include/tarvel6.h
                     [--objdump i686-w64-mingw32-objdump] [--partial]

--partial: only the header's functions that the DLL exports are checked (for small test
DLLs); otherwise every function of the header must be exported. Exits 0 when every export
pops what its declaration says, 1 otherwise, listing each wrong one.
"""
import argparse
import re
import subprocess
import sys

# Types of 64 bits, which take two 4-byte stack slots; anything else declared in the header
# (int32_t, uint32_t, pointers) takes one, and smaller integers are widened to one.
WIDE_TYPES = re.compile(r"\b(double|int64_t|uint64_t|long\s+long)\b")
DECLARATION = re.compile(r"TARVEL_API\s+[^;{}()]*?\bTARVEL_CALL\s+(\w+)\s*\(([^)]*)\)\s*;")


def header_pops(path):
    """Name -> bytes its standard-call code must pop, from the header's declarations."""
    text = open(path, encoding="utf-8").read()
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    text = re.sub(r"//[^\n]*", " ", text)
    pops = {}
    for name, params in DECLARATION.findall(text):
        params = " ".join(params.split())
        if params in ("", "void"):
            pops[name] = 0
            continue
        pops[name] = sum(8 if WIDE_TYPES.search(p) and "*" not in p else 4
                         for p in params.split(","))
    return pops


def run(objdump, *args):
    out = subprocess.run([objdump, *args], check=True, capture_output=True, text=True)
    return out.stdout


def exports(objdump, dll):
    """Exported name -> virtual address of its code, from objdump -p."""
    text = run(objdump, "-p", dll)
    base = int(re.search(r"^ImageBase\s+([0-9a-fA-F]+)", text, re.M).group(1), 16)
    ordinal_base = int(re.search(r"Export Address Table -- Ordinal Base (\d+)", text).group(1))
    rvas = {}  # ordinal -> RVA
    table = text.split("Export Address Table -- Ordinal Base", 1)[1]
    table, names = table.split("[Ordinal/Name Pointer] Table", 1)
    for m in re.finditer(r"\[\s*(\d+)\] \+base\[\s*(\d+)\]\s+([0-9a-fA-F]+) Export RVA", table):
        rvas[int(m.group(2))] = int(m.group(3), 16)
    result = {}
    for m in re.finditer(r"^\s*\[\s*(\d+)\] (\S+)\s*$", names, re.M):
        index, name = int(m.group(1)), m.group(2)
        rva = rvas.get(index + ordinal_base)  # the table lists the index into the addresses
        if rva is not None:
            result[name] = base + rva
    return result


INSN = re.compile(r"^\s*([0-9a-f]+):\s+(.*)$")
LABEL = re.compile(r"^([0-9a-f]+) <([^>]+)>:$")
TARGET = re.compile(r"^([0-9a-f]+)(?: <[^>]*>)?$")


def disassemble(objdump, dll):
    """(instructions: address -> (mnemonic, operands), ordered addresses, symbol starts)."""
    text = run(objdump, "-d", "--no-show-raw-insn", "-M", "att", dll)
    insns, order, starts = {}, [], set()
    for line in text.splitlines():
        m = LABEL.match(line)
        if m:
            starts.add(int(m.group(1), 16))
            continue
        m = INSN.match(line)
        if not m:
            continue
        body = m.group(2).split("#")[0].strip()
        if not body or body.startswith("(bad)"):
            continue
        parts = body.split(None, 1)
        mnemonic = parts[0]
        # Prefixes such as "repz ret" or "bnd jmp": the instruction is the last word.
        while mnemonic in ("repz", "rep", "bnd", "notrack", "lock", "data16") and len(parts) > 1:
            parts = parts[1].split(None, 1)
            mnemonic = parts[0]
        address = int(m.group(1), 16)
        insns[address] = (mnemonic, parts[1].strip() if len(parts) > 1 else "")
        order.append(address)
    return insns, order, starts


def returns_from(entry, insns, order, starts):
    """Bytes popped by each return instruction reachable from entry: {address: bytes}."""
    following = {a: b for a, b in zip(order, order[1:])}
    found, seen, todo = {}, set(), [entry]
    while todo:
        address = todo.pop()
        first = True
        while address in insns and address not in seen:
            if not first and address in starts:
                break  # the next function begins: code does not fall into it
            first = False
            seen.add(address)
            mnemonic, operands = insns[address]
            if mnemonic.startswith("ret"):
                m = re.match(r"\$0x([0-9a-f]+)", operands)
                found[address] = int(m.group(1), 16) if m else 0
                break
            if mnemonic.startswith("j"):
                m = TARGET.match(operands)
                if m:
                    todo.append(int(m.group(1), 16))
                if mnemonic.startswith("jmp"):
                    break  # an unconditional jump: the code after it is reached otherwise
            elif mnemonic in ("ud2", "int3", "hlt"):
                break
            address = following.get(address)
    return found


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--dll", required=True)
    ap.add_argument("--header", required=True)
    ap.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    ap.add_argument("--partial", action="store_true")
    a = ap.parse_args()

    pops = header_pops(a.header)
    if not pops:
        print(f"check_stdcall: no TARVEL_CALL declarations found in {a.header}")
        return 1
    table = exports(a.objdump, a.dll)
    insns, order, starts = disassemble(a.objdump, a.dll)
    wrong = []
    for name in sorted(set(table) - set(pops)):
        wrong.append(f"{name}: exported but not declared in {a.header}")
    checked = 0
    for name, want in sorted(pops.items()):
        if name not in table:
            if not a.partial:
                wrong.append(f"{name}: declared in {a.header} but not exported")
            continue
        rets = returns_from(table[name], insns, order, starts)
        checked += 1
        if not rets:
            wrong.append(f"{name}: no return instruction reached from its code at "
                         f"{table[name]:#x}")
            continue
        bad = sorted({n for n in rets.values() if n != want})
        if bad:
            got = ", ".join(f"ret $0x{n:x}" if n else "ret" for n in bad)
            wrong.append(f"{name}: returns with {got}, pops {bad[0]} bytes; its "
                         f"{want // 4} argument slots in {a.header} need ret $0x{want:x}")
        else:
            print(f"  {name}: ret $0x{want:x} ({len(rets)} return(s))")
    for line in wrong:
        print(f"WRONG {line}")
    if wrong:
        print(f"check_stdcall: {len(wrong)} of {checked} exports do not match {a.header}")
        return 1
    print(f"check_stdcall: all {checked} exports pop the bytes of their arguments "
          f"(standard call)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
