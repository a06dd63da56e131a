#!/usr/bin/env bash
# Imports a generated music library the size of a large real one (50,000
# tracks in 5,000 folders, 500 playlists; the folders made on disk with a
# cover image and the song files, so the artwork search lists them) with
# every table written, side by side with Python's plistlib merely reading the
# same file, and prints both times, their ratio and Velmora's peak memory.
# The parse and the first import run in turns, ROUNDS rounds (3 by default,
# each import into a new folder); the times printed are the medians.
#
#   bench/import_bench.sh [TRACKS [FOLDERS [PLAYLISTS]]]
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/lib.sh
tracks=${1:-50000}
folders=${2:-5000}
playlists=${3:-500}
rounds=${ROUNDS:-3}
build=${VELMORA_BUILD:-build/release}

tools/setup.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target velmora-import >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/library"
lib="$work/library/iTunes Music Library.xml"
python3 tests/data/make_itunes_library.py --tracks "$tracks" --folders "$folders" \
    --playlists "$playlists" --root "$work/music" --make-folders --out "$lib"
echo "$tracks tracks in $folders folders, $playlists playlists: $(du -h "$lib" | cut -f1) library file"

# Warm the page cache so both read from memory.
cat "$lib" >/dev/null

# Each side starts on a settled file system: the write-back of the files
# made before (the fixture, the last round's tables) is not left to run
# under the next timing.
for r in $(seq "$rounds"); do
    sync
    seconds python3 -c 'import plistlib, sys; plistlib.load(open(sys.argv[1], "rb"))' "$lib" >> "$work/t.p"
    mkdir "$work/data$r"
    sync
    seconds "$build/velmora-import" "$work/library" "$work/data$r" >> "$work/t.v"
done
p=$(median "$work/t.p")
first=$(median "$work/t.v")
# A rebuild first deletes the tables of the last one.
sync
again=$(seconds "$build/velmora-import" "$work/library" "$work/data1")
# The peak memory of a first import.
mkdir "$work/memory"
memory=$("$build/velmora-import" "$work/library" "$work/memory")
printf 'plistlib parse only      %8ss\n' "$p"
printf 'Velmora import           %8ss   %sx the time of the parse alone\n' "$first" \
    "$(awk -v a="$first" -v b="$p" 'BEGIN { printf "%.2f", a / b }')"
printf 'Velmora import again     %8ss   %sx\n' "$again" \
    "$(awk -v a="$again" -v b="$p" 'BEGIN { printf "%.2f", a / b }')"
printf 'Velmora first import: %s\n' "$memory"
files=$(ls "$work/data1/iTunes Tables" | grep -c '^Track-' || true)
printf '%s track files, %s lines in albums.txt\n' "$files" "$(wc -l < "$work/data1/iTunes Tables/albums.txt")"
[ "$files" -eq "$tracks" ] || { echo "the import wrote $files track files for $tracks tracks"; exit 1; }
