#!/bin/sh
# Fails when a lower layer includes a header of a higher one: src/pal/ may
# include only pal headers, src/subs/ only pal, global.h and subs.  The
# program's entry (src/pal/<platform>/entry.cpp) is the one file that calls up.
set -eu
cd "$(dirname "$0")/.."
bad=$( {
    grep -n '#include "' src/pal/*.h src/pal/*/*.cpp src/pal/*/*.h 2>/dev/null |
        grep -v -E '^src/pal/(posix|win32)/entry\.cpp:' | grep -v '#include "pal/'
    grep -n '#include "' src/subs/*.cpp src/subs/*.h |
        grep -v '#include "\(pal/pal\.h\|global\.h\|subs/[^"]*\)"'
} || true)
if [ -n "$bad" ]; then
    echo "check_layers: a lower layer includes a header of a higher one:" >&2
    echo "$bad" >&2
    exit 1
fi
echo "check_layers: layers point one way"
