#!/usr/bin/env python3
"""Static checks that keep the bindings in step with the library and with each other.

  check_bindings.py names SRCDIR LIBRARY
      Every binding (C header, .def, version script, Pascal unit, .NET, Python) declares
      exactly the names the library exports (nm -D --defined-only), with the argument count
      the .def's standard-call sizes give; and the result codes of the header's enums appear
      under the same names and values in the Pascal unit, .NET and Python.
  check_bindings.py versions SRCDIR VERSION
      The bindings carry the CMake project version.
  check_bindings.py readme SRCDIR
      Each README block marked <!-- example: PATH --> is a copy of the file PATH; the README
      stays a front door (300 lines at most); every relative link of the README and docs/*.md
      names a file that exists and, with #ANCHOR, a heading of that file.

Prints what differs and exits 1 on any difference.
"""

import os
import re
import subprocess
import sys

failures = []


def fail(message):
    failures.append(message)
    print("FAIL " + message)


def read(src, path):
    with open(os.path.join(src, path), encoding="utf-8") as f:
        return f.read()


def count_args(params, separators=","):
    params = params.strip()
    if not params or params == "void":
        return 0
    return len(re.split("[" + separators + "]", params))


def exported(library):
    out = subprocess.run(["nm", "-D", "--defined-only", library], check=True,
                         capture_output=True, text=True).stdout
    return {line.split()[-1] for line in out.splitlines()
            if len(line.split()) >= 3 and line.split()[-2] in "TtDdBbRrWwVvi"}


def declarations(src):
    """binding -> {name: argument count or None}"""
    d = {}
    header = read(src, "include/tarvel6.h")
    d["C header"] = {n: count_args(p) for n, p in
                     re.findall(r"TARVEL_API [^;]*?TARVEL_CALL (\w+)\(([^)]*)\)", header)}
    d[".def"] = {n: int(size) // 4 for n, size in
                 re.findall(r"^\s+(\w+)@(\d+)\s*$", read(src, "src/api/Tarvel6.def"), re.M)}
    mapping = read(src, "src/api/tarvel6.map")
    glob = mapping[mapping.index("global:"):mapping.index("local:")]
    d["version script"] = {n: None for n in re.findall(r"(\w+);", glob)}
    pascal = {}
    for line in read(src, "bindings/pascal/Tarvel6.pas").splitlines():
        m = re.match(r"\s*(?:function|procedure) (\w+)(?:\(([^)]*)\))?[^;]*;.*external", line)
        if m:
            pascal[m.group(1)] = count_args(m.group(2) or "", ",;")
    d["Pascal unit"] = pascal
    cs = re.sub(r"\[MarshalAs\([^)]*\)\]\s*", "", read(src, "bindings/dotnet/Tarvel6.Native.cs"))
    d[".NET"] = {n: count_args(p) for n, p in
                 re.findall(r"static extern [\w.]+ (\w+)\(([^)]*)\);", cs)}
    py = read(src, "bindings/python/tarvel6/native.py")
    d["Python"] = {n: count_args(p.rstrip(", ")) for n, p in
                   re.findall(r'^\s+\("(\w+)", [\w.]+, \(([^)]*)\)\),\s*$', py, re.M)}
    return d


def constants(src):
    """binding -> {name: value text}; flags as the bare letter."""
    def norm(v):
        return v.strip("'\"")

    header = read(src, "include/tarvel6.h")
    found = {"C header": {n: norm(v) for n, v in
                          re.findall(r"\b(TARVEL_[A-Z_]+) = (-?\d+|'.')", header)}}
    found["Pascal unit"] = {n: norm(v) for n, v in re.findall(
        r"^\s+(TARVEL_[A-Z_]+) = (-?\d+|'.');", read(src, "bindings/pascal/Tarvel6.pas"), re.M)}
    found[".NET"] = {n: norm(v) for n, v in re.findall(
        r"const (?:int|char) (TARVEL_[A-Z_]+) = (-?\d+|'.');",
        read(src, "bindings/dotnet/Tarvel6.Native.cs"))}
    found["Python"] = {n: norm(v) for n, v in re.findall(
        r'^(TARVEL_[A-Z_]+) = (-?\d+|"."|\'.\')\s*$',
        read(src, "bindings/python/tarvel6/codes.py"), re.M)}
    return found


def check_names(src, library):
    names = exported(library)
    if len(names) != 43:
        fail("the library exports %d names, the C API has 43" % len(names))
    decl = declarations(src)
    arity = decl[".def"]
    for binding, found in decl.items():
        missing = sorted(names - set(found))
        extra = sorted(set(found) - names)
        if missing:
            fail("%s misses %s" % (binding, ", ".join(missing)))
        if extra:
            fail("%s declares what the library does not export: %s" % (binding, ", ".join(extra)))
        for n, count in sorted(found.items()):
            if count is not None and n in arity and count != arity[n]:
                fail("%s: %s takes %d arguments, the .def says %d" % (binding, n, count, arity[n]))
    codes = constants(src)
    reference = codes.pop("C header")
    if len(reference) < 15:
        fail("the header names only %d result codes" % len(reference))
    for binding, found in codes.items():
        if found != reference:
            diff = sorted(set(found.items()) ^ set(reference.items()))
            fail("%s result codes differ from the header: %s" % (binding, diff))
    print("%d exports, %d result codes checked in %s" %
          (len(names), len(reference), ", ".join(sorted(decl))))


def check_versions(src, version):
    expected = {
        "bindings/python/tarvel6/_version.py": r'__version__ = "([^"]+)"',
        "bindings/dotnet/Tarvel6.cs": r'AssemblyVersion\("([^"]+)"\)',
        "bindings/dotnet/Tarvel6.cs ": r'BindingVersion = "([^"]+)"',
        "bindings/pascal/Tarvel6.pas": r"Tarvel6UnitVersion = '([^']+)'",
    }
    for path, pattern in expected.items():
        m = re.search(pattern, read(src, path.strip()))
        got = m.group(1) if m else None
        if got != version:
            fail("%s: version %s, the project's is %s" % (path.strip(), got, version))
    print("bindings checked against version %s" % version)


def check_readme(src):
    readme = read(src, "README.md")
    blocks = re.findall(r"<!-- example: (\S+) -->\n```\w*\n(.*?)```\n", readme, re.S)
    if len(blocks) < 4:
        fail("the README has %d example blocks, expected the C, Pascal, C# and Python ones"
             % len(blocks))
    for path, text in blocks:
        if not os.path.exists(os.path.join(src, path)):
            fail("README names %s, which does not exist" % path)
        elif read(src, path) != text:
            fail("README's copy of %s differs from the file" % path)
    print("%d README examples checked" % len(blocks))
    lines = readme.count("\n")
    if lines > 300:
        fail("the README has %d lines: it is the front door, keep it to 300 and move the rest "
             "to docs/" % lines)
    check_links(src)


def slug(heading):
    """The anchor a Markdown renderer gives a heading."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def headings(path):
    found, fence = set(), False
    for line in open(path, encoding="utf-8").read().split("\n"):
        if line.startswith("```"):
            fence = not fence
        m = re.match(r"^#{1,6} (.*)$", line)
        if m and not fence:
            found.add(slug(m.group(1)))
    return found


def check_links(src):
    docs = ["README.md"] + sorted("docs/" + f for f in os.listdir(os.path.join(src, "docs"))
                                  if f.endswith(".md"))
    count = 0
    for doc in docs:
        text = read(src, doc)
        for target in re.findall(r"\]\(([^)\s]+)\)", text):
            if target.startswith(("http:", "https:", "mailto:")):
                continue
            path, _, anchor = target.partition("#")
            full = os.path.normpath(os.path.join(src, os.path.dirname(doc), path)) if path \
                else os.path.join(src, doc)
            count += 1
            if not os.path.exists(full):
                fail("%s links to %s, which does not exist" % (doc, target))
            elif anchor and full.endswith(".md") and anchor not in headings(full):
                fail("%s links to %s: no such heading" % (doc, target))
    print("%d links of the README and docs/ checked" % count)


def main(argv):
    if len(argv) < 3:
        print(__doc__)
        return 64
    what, src = argv[1], argv[2]
    if what == "names":
        check_names(src, argv[3])
    elif what == "versions":
        check_versions(src, argv[3])
    elif what == "readme":
        check_readme(src)
    else:
        print(__doc__)
        return 64
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
