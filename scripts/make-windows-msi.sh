#!/usr/bin/env bash
# Builds the Windows installer with wixl (Debian's msitools):
#
#   scripts/make-windows-msi.sh [OUTPUT_DIR]      (default OUTPUT_DIR: build-dist)
#
# writes OUTPUT_DIR/Tarvel6-<version>-x64.msi and prints its path as the last line. It packs
# the Windows SDK zip first (scripts/make-windows-sdk.sh, into the same folder) and installs
# its files as they are in the zip, under C:\Program Files\Tarvel6, with
# x64\tarvel-gateway.exe (preset windows-x64, stripped) registered as the service
# "tarvel-gateway", gateway.example.toml (packaging/windows/gateway.toml) beside them and, when
# there is none yet, the same file as C:\ProgramData\Tarvel6\gateway.toml.
# packaging/windows/tarvel6.wxs says how; docs/windows.md describes the result.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build-dist}
for tool in wixl wixl-heat; do
    if ! command -v $tool >/dev/null; then
        echo "make-windows-msi: $tool missing; run scripts/install-win-deps.sh as root" >&2
        exit 1
    fi
done

zip=$(bash scripts/make-windows-sdk.sh "$out" | tail -n1)
cmake --build --preset windows-x64 --target tarvel-gateway >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-win64/CMakeCache.txt)
[ -n "$version" ] || { echo "make-windows-msi: no project version in build-win64" >&2; exit 1; }

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
root=$stage/files
mkdir -p "$root"
(cd "$root" && cmake -E tar xf "$zip")
[ -f "$root/x64/Tarvel6.dll" ] || { echo "make-windows-msi: $zip holds no x64/Tarvel6.dll" >&2; exit 1; }
cp build-win64/tarvel-gateway.exe "$root/x64/"
x86_64-w64-mingw32-strip "$root/x64/tarvel-gateway.exe"
cp packaging/windows/gateway.toml "$root/gateway.example.toml"

# Every file of the zip, as one component each (wixl-heat); the gateway and the example
# configuration have components of their own in tarvel6.wxs.
find "$root" -type f ! -path "$root/x64/tarvel-gateway.exe" ! -path "$root/gateway.example.toml" |
    LC_ALL=C sort |
    wixl-heat -p "$root/" --var var.Stage --directory-ref INSTALLDIR --component-group SdkFiles \
        --win64 >"$stage/sdk.wxs"

mkdir -p "$out"
msi=$(cd "$out" && pwd)/Tarvel6-$version-x64.msi
rm -f "$msi"
# wixl takes the files' paths relative to the folder it runs in.
wxs=$PWD/packaging/windows/tarvel6.wxs
(cd "$root" && wixl -a x64 -D Version="$version" -D Stage=. -D Win64=yes -o "$msi" "$wxs" \
    "$stage/sdk.wxs")
# wixl knows no NeverOverwrite or Permanent: the configuration's component gets them here
# (Attributes 256 = 64-bit, + 16 permanent, + 16384 never overwrite an existing file).
msiinfo export "$msi" Component >"$stage/Component.idt"
awk -F'\t' 'BEGIN { OFS = "\t" } $1 == "Config" { $4 = 256 + 16 + 16384 } { print }' \
    "$stage/Component.idt" >"$stage/Component.new" && mv "$stage/Component.new" "$stage/Component.idt"
grep -q "^Config	.*	16656	" "$stage/Component.idt" ||
    { echo "make-windows-msi: no component Config in $msi" >&2; exit 1; }
msibuild "$msi" -i "$stage/Component.idt"
echo "$msi"
