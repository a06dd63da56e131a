#!/usr/bin/env bash
# Cross-builds Velmora for 64-bit Windows with Debian's mingw-w64:
# build/win/velmora.exe (and, with VELMORA_TESTS=ON in the environment, the
# unit suite build/win/velmora_tests.exe, which tools/test.sh runs under
# Wine).  The runtime libraries are linked in, so the program runs alone.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v x86_64-w64-mingw32-g++-posix >/dev/null || tools/setup.sh --windows
cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DVELMORA_TESTS="${VELMORA_TESTS:-OFF}" >/dev/null
cmake --build build/win -j"$(nproc)"
echo "Built build/win/velmora.exe"
