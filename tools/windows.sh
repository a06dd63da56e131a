#!/usr/bin/env bash
# Cross-builds Velmora for 64-bit Windows with Debian's mingw-w64:
# build/win/velmora.exe (and, with VELMORA_TESTS=ON in the environment, the
# unit suite build/win/velmora_tests.exe, which tools/test.sh runs under
# Wine).  The runtime libraries are linked in, so the program runs alone.
# Then the two ways to hand it out: the installer
# build/velmora-<version>-setup.exe (NSIS, packaging/windows/velmora.nsi)
# and the zip build/velmora-<version>-win64.zip, both made from the same
# files, staged in build/win/stage.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v x86_64-w64-mingw32-g++-posix >/dev/null && command -v makensis >/dev/null &&
    command -v zip >/dev/null || tools/setup.sh --windows
cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DVELMORA_TESTS="${VELMORA_TESTS:-OFF}" >/dev/null
cmake --build build/win -j"$(nproc)"
echo "Built build/win/velmora.exe"

version=$(tools/version.sh)
stage=build/win/stage
rm -rf "$stage"
mkdir -p "$stage"
# The texts with Windows' line ends, so that Notepad shows their lines.
crlf() { sed 's/$/\r/'; }
x86_64-w64-mingw32-strip -o "$stage/velmora.exe" build/win/velmora.exe
sed "s/@VERSION@/$version/" packaging/windows/readme.txt | crlf >"$stage/readme.txt"
crlf <packaging/copyright >"$stage/copyright.txt"

setup=build/velmora-$version-setup.exe
makensis -V2 -DVERSION="$version" -DSTAGE="$PWD/$stage" -DOUTFILE="$PWD/$setup" packaging/windows/velmora.nsi
echo "Built $setup"
zipfile=build/velmora-$version-win64.zip
rm -f "$zipfile"
(cd "$stage" && zip -q -X -r "$OLDPWD/$zipfile" .)
echo "Built $zipfile"
