#!/usr/bin/env bash
# Listings and searches at size, in one run, each side by side with its peer:
#  1. the listing of a folder of 20,000 files (LISTING_FILES) from Velmora
#     and from nginx's autoindex of the same folder;
#  2. a wildcard search, subfolders included, over a tree of 100,000 files
#     (SEARCH_FILES) from Velmora and "find -iname" of the same pattern.
# Both sides run in turns, ROUNDS rounds (5 by default); prints the median
# times and the ratios (peer time / Velmora time: above 1 Velmora is faster).
# Stops with an error when an answer is missing or short.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/lib.sh
files=${LISTING_FILES:-20000}
tree=${SEARCH_FILES:-100000}
rounds=${ROUNDS:-5}
build=${VELMORA_BUILD:-build/release}

need_nginx
if [ -z "${VELMORA_NETNS:-}" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j2 --target velmora velmora-fetch velmora-channel >/dev/null
    # Start turns discovery on: the runs below stay in a network namespace.
    VELMORA_NETNS=1 exec tools/netns.sh "$(pwd)/bench/$(basename "$0")" "$@"
fi

work=$(mktemp -d)
chmod 755 "$work"
vpid= npid=
trap 'kill $vpid $npid 2>/dev/null || true; wait 2>/dev/null; rm -rf "$work"' EXIT

# The folder: song-like names with blanks, so each entry is encoded.  The
# tree: 100 folders of 10 folders of files.
mkdir -p "$work/list" "$work/tree" "$work/home/My Roku"
(cd "$work/list" && seq -f 'Track %06g.mp3' "$files" | xargs -d '\n' touch)
per=$(( (tree + 999) / 1000 ))
for a in $(seq -w 0 99); do
    for b in $(seq 0 9); do
        d="$work/tree/artist $a/album $b"
        mkdir -p "$d"
        (cd "$d" && seq -f "song-$a$b-%04g.mp3" "$per" | xargs -d '\n' touch)
    done
done
pattern='*7[0-4]-*.MP3'
url_pattern='*7%5B0-4%5D-*.MP3'
total=$(find "$work/tree" -type f | wc -l)
echo "listing: $files files in one folder; search: $pattern over $total files in $(find "$work/tree" -mindepth 1 -type d | wc -l) folders"

nport=18080
start_nginx "$work" $nport 1 64 "server { listen 127.0.0.1:$nport; root $work; location /list/ { autoindex on; } }"

printf '[Velmora]\r\nIPadrs=127.0.0.1\r\nPort=0\r\n[Links]\r\nList=%s\r\nTree=%s\r\n' "$work/list" "$work/tree" \
    > "$work/home/My Roku/Velmora.ini"
HOME="$work/home" "$build/velmora" -s > "$work/velmora.out" & vpid=$!
for _ in $(seq 100); do grep -q 'Server - 127.0.0.1:' "$work/velmora.out" 2>/dev/null && break; sleep 0.1; done
vport=$(sed -n 's/^Server - 127.0.0.1:\([0-9]*\) .*/\1/p' "$work/velmora.out")
[ -n "$vport" ] || { echo "Velmora did not start"; cat "$work/velmora.out"; exit 1; }

# Each answer is checked whole once: every entry listed, every match found.
"$build/velmora-channel" 127.0.0.1 "$vport" /Roku/List/ > "$work/v.html" 2>/dev/null ||
    { echo "Velmora listing failed"; exit 1; }
listed=$(grep -o '<A HREF="Track%20' "$work/v.html" | wc -l)
[ "$listed" -eq "$files" ] || { echo "Velmora listed $listed of $files files"; exit 1; }
"$build/velmora-channel" 127.0.0.1 "$vport" "/Roku/Tree/$url_pattern&s" > "$work/v.txt" 2>/dev/null ||
    { echo "Velmora search failed"; head -c 600 "$work/v.txt"; exit 1; }
found=$(grep -c "^$work/tree/" "$work/v.txt" || true)
want=$(find "$work/tree" -iname "$pattern" | wc -l)
[ "$found" -eq "$want" ] || { echo "Velmora found $found of the $want matches"; exit 1; }

fetch="$build/velmora-fetch"
fetched() { local out; out=$("$@") || { echo "fetch failed: $*" >&2; return 1; }; echo "$out" | cut -d' ' -f2; }
for r in $(seq "$rounds"); do
    fetched "$fetch" -c -n 1 "$vport" /Roku/List/ >> "$work/t.vl"
    fetched "$fetch" -0 -n 1 "$nport" /list/ >> "$work/t.nl"
    fetched "$fetch" -c -n 1 "$vport" "/Roku/Tree/$url_pattern&s" >> "$work/t.vs"
    seconds find "$work/tree" -iname "$pattern" >> "$work/t.fs"
done
vl=$(median "$work/t.vl"); nl=$(median "$work/t.nl"); vs=$(median "$work/t.vs"); fs=$(median "$work/t.fs")
awk -v vl="$vl" -v nl="$nl" -v vs="$vs" -v fs="$fs" -v r="$rounds" 'BEGIN {
    printf "listing  Velmora %.4f s   nginx autoindex %.4f s   ratio %.2f   (medians of %d)\n", vl, nl, nl / vl, r
    printf "search   Velmora %.4f s   find -iname     %.4f s   ratio %.2f\n", vs, fs, fs / vs }'
