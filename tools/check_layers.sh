#!/bin/sh
# Checks that every file of src/ includes only headers of its own folder and
# of lower layers.  The layers, lowest first; folders on one line share a
# level and never include each other:
#
#   pal            the platform layer
#   global         src/global.h: the program's shared declarations
#   subs           utilities: text, files, threads, trace, status port
#   config         the settings table and the shared tables
#   live           the transcoder and the stream segmenter
#   roku           the /Roku/ tree: mapping, listings, confinement, search
#   info library   media file readers; the music and photo imports
#   http           the server, the request handler and its answers
#   discovery      SSDP and the channel's launch
#   control        the server control: Start, Stop, Exit, Connect
#   ui             the dialogs and the status port drawn on them
#   main           src/main.cpp and src/main.h: start-up and wiring
#
# The program's entry (src/pal/<platform>/entry.cpp) is the one file that
# calls up, into main.h.
set -eu
cd "$(dirname "$0")/.."
ORDER='pal|global|subs|config|live|roku|info library|http|discovery|control|ui|main'
bad=$(find src -name '*.cpp' -o -name '*.h' | sort |
    xargs grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' |
    awk -v order="$ORDER" '
    BEGIN {
        n = split(order, levels, "|")
        for (i = 1; i <= n; i++) {
            m = split(levels[i], names, " ")
            for (j = 1; j <= m; j++) level[names[j]] = i
        }
    }
    function folder_of(path,    parts, k) {
        k = split(path, parts, "/")
        if (k == 1) return path ~ /^main\./ ? "main" : "global"
        return parts[1]
    }
    {
        file = $0; sub(/:.*/, "", file)
        inc = $0; sub(/^[^"]*"/, "", inc); sub(/".*/, "", inc)
        from = folder_of(substr(file, 5)); to = folder_of(inc)
        if (!(from in level)) { print file ": folder " from " has no layer"; next }
        if (!(to in level)) { print $0 ": folder " to " has no layer"; next }
        if (from == to || level[to] < level[from]) next
        if (file ~ /^src\/pal\/[^\/]+\/entry\.cpp$/ && inc == "main.h") next
        print $0
    }')
if [ -n "$bad" ]; then
    echo "check_layers: these includes point to the same or a higher layer:" >&2
    echo "$bad" >&2
    exit 1
fi
echo "check_layers: layers point one way"
