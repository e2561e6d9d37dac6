#!/usr/bin/env bash
# Packs the Windows SDK zip from the two Windows builds:
#
#   scripts/make-windows-sdk.sh [OUTPUT_DIR]      (default OUTPUT_DIR: build-dist)
#
# writes OUTPUT_DIR/Tarvel6-<version>-windows.zip (the version is the CMake project's) and
# prints its path as the last line. First it brings the library and tarvel.exe of the presets
# "windows" (build-win/) and "windows-x64" (build-win64/) up to date, configuring them if
# needed; mingw-w64 and llvm-dlltool must be installed (scripts/install-win-deps.sh).
#
# The zip holds, at its top level:
#   x86/ and x64/   Tarvel6.dll (stripped), Tarvel6.lib (import library from src/api/Tarvel6.def, made
#                   by llvm-dlltool in the short import format that MSVC and MinGW both read;
#                   on x86 it maps the decorated _Name@N symbols to the plain exported names),
#                   tarvel.exe
#   include/tarvel6.h, bindings/ (every binding present, without build products),
#   README.txt (packaging/windows/README.txt: which DLL for which host, how to link).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build-dist}

dlltool=$(command -v llvm-dlltool || compgen -c llvm-dlltool- | sort -V | tail -n1 || true)
if [ -z "$dlltool" ]; then
    echo "make-windows-sdk: llvm-dlltool missing; run scripts/install-win-deps.sh as root" >&2
    exit 1
fi

declare -A dir=([windows]=build-win [windows-x64]=build-win64)
for preset in windows windows-x64; do
    [ -f "${dir[$preset]}/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target Tarvel6 tarvel >/dev/null
done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-win/CMakeCache.txt)
[ -n "$version" ] || { echo "make-windows-sdk: no project version in build-win" >&2; exit 1; }

name=Tarvel6-$version-windows
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
root=$stage/$name
mkdir -p "$root/x86" "$root/x64" "$root/include"

# The import libraries. The 32-bit one takes the .def as it is (-k: import the names without
# their @N); the 64-bit one the build's copy without the sizes, the list the DLL was linked with.
# The DLL and tarvel.exe lose the symbols and debug sections the static runtime brings along
# (half their size); exports and code stay as built.
pack() { # pack ARCH BUILD_DIR MACHINE DEF TRIPLE
    cp "$2/Tarvel6.dll" "$2/tarvel.exe" "$root/$1/"
    "$5-strip" "$root/$1/Tarvel6.dll" "$root/$1/tarvel.exe"
    "$dlltool" -m "$3" -D Tarvel6.dll -d "$4" -l "$root/$1/Tarvel6.lib" -k
}
pack x86 build-win i386 src/api/Tarvel6.def i686-w64-mingw32
pack x64 build-win64 i386:x86-64 build-win64/Tarvel6-x64.def x86_64-w64-mingw32

cp include/tarvel6.h "$root/include/"
sed "s/@VERSION@/$version/" packaging/windows/README.txt >"$root/README.txt"

# The bindings' sources: the files git would commit (when this is a git checkout), less
# anything that looks like a build product.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    files=$(git ls-files --cached --others --exclude-standard -- bindings)
else
    files=$(find bindings -type f)
fi
skip='(^|/)(bin|obj|build|dist|out|__pycache__|\.pytest_cache|\.mypy_cache|node_modules|[^/]*\.egg-info)/'
skip+='|\.(pyc|pyo|o|obj|ppu|a|so|dll|exe|lib|pdb|nupkg|whl)$'
while IFS= read -r f; do
    [ -f "$f" ] || continue # listed but deleted
    if ! [[ $f =~ $skip ]]; then
        mkdir -p "$root/$(dirname "$f")"
        cp "$f" "$root/$f"
    fi
done <<<"$files"

mkdir -p "$out"
zip=$(cd "$out" && pwd)/$name.zip
rm -f "$zip"
(cd "$root" && cmake -E tar cf "$zip" --format=zip -- *)
echo "$zip"
