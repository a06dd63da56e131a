#!/usr/bin/env bash
# Builds Velmora and runs the server headless with Start pressed.  Extra
# arguments are passed on as option letters, e.g. tools/serve.sh -t for a
# trace in ~/My Roku/trace.txt.  Ctrl-C (or SIGTERM) saves and ends it.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_TESTS=OFF >/dev/null
cmake --build build/release -j"$(nproc)" --target velmora velmora-channel
exec build/release/velmora -s "$@"
