#!/usr/bin/env python3
"""The tests' share of the code: non-blank, non-comment lines of tests/, tools/*/tests/ and
fuzz/ against those of every source file git tracks (C, C++, C#, Pascal, Python, JavaScript,
HTML, shell - Debian maintainer scripts and completions too -, CMake and TOML files; the fuzz
seed corpora, the README and other documents are not code). Prints "TESTS TOTAL SHARE";
--files also lists the largest test files.

    python3 scripts/test-share.py [--files]
"""
import os
import re
import subprocess
import sys

# Comment style of each kind of file: "c" for // and /* */, "hash" for #, plus HTML and Pascal.
KINDS = {".cpp": "c", ".h": "c", ".c": "c", ".cs": "c", ".js": "c", ".html": "html",
         ".pas": "pas", ".py": "hash", ".sh": "hash", ".cmake": "hash", ".toml": "hash",
         # shell without .sh: Debian maintainer scripts and bash completions
         ".postinst": "hash", ".prerm": "hash", ".postrm": "hash", ".bash-completion": "hash"}


def kind(path):
    if os.path.basename(path) == "CMakeLists.txt":
        return "hash"
    return KINDS.get(os.path.splitext(path)[1])


def code_lines(path, k):
    n, in_block = 0, False
    for line in open(path, errors="replace"):
        s = line.strip()
        if not s:
            continue
        if k == "hash":
            if s.startswith("#") and not s.startswith("#!"):
                continue
        else:
            if in_block:
                if "*/" in s or "-->" in s or (k == "pas" and "}" in s):
                    in_block = False
                continue
            if s.startswith("//"):
                continue
            opener = s.startswith("/*") or (k == "html" and s.startswith("<!--")) or (
                k == "pas" and s.startswith("{") and not s.startswith("{$"))
            if opener:
                in_block = not any(end in s for end in ("*/", "-->", "}"))
                continue
        n += 1
    return n


def is_test(path):
    return path.startswith(("tests/", "fuzz/")) or re.match(r"tools/[^/]+/tests/", path)


def main():
    os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    files = subprocess.check_output(["git", "ls-files"], text=True).split()
    rows = [(code_lines(f, kind(f)), f) for f in files if kind(f) and "/corpus/" not in f]
    tests = sum(n for n, f in rows if is_test(f))
    total = sum(n for n, _ in rows)
    print(tests, total, round(tests / total, 3))
    if "--files" in sys.argv:
        for n, f in sorted((r for r in rows if is_test(r[1])), reverse=True)[:40]:
            print(f"{n:6} {f}")


main()
