#!/usr/bin/env bash
# Builds the info text of every file of a folder of a few thousand media
# files (copies of the test fixtures; bench/info_bench.sh [COPIES], 250 by
# default) in one process, side by side with the floor any such tool stands
# on (a status, an open, a read of the first 64 KB and of the last 4 KB, and
# a close of each file), with mediainfo and with "exiftool -fast" over the
# same folder, each in one process.  The four run in turns, ROUNDS rounds (3
# by default); prints the median times and the ratios.  Installs mediainfo
# and exiftool with apt-get when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/lib.sh
copies=${1:-250}
rounds=${ROUNDS:-3}
build=${VELMORA_BUILD:-build/release}

need=()
command -v mediainfo >/dev/null || need+=(mediainfo)
command -v exiftool >/dev/null || need+=(libimage-exiftool-perl)
[ ${#need[@]} -eq 0 ] || { apt-get update -q && apt-get install -y -q "${need[@]}"; }
tools/setup.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target velmora-info-walk >/dev/null

work=$(mktemp -d)
temps=$(mktemp -d)
trap 'rm -rf "$work" "$temps"' EXIT
n=0
for i in $(seq "$copies"); do
    for f in tests/data/mp3/*.mp3 tests/data/video/*.mp4 tests/data/video/*.m4v tests/data/video/*.mov \
             tests/data/video/*.mpg tests/data/av/*.avi tests/data/av/*.flv tests/data/av/*.wmv \
             tests/data/av/*.flac tests/data/jpeg/*.jpg; do
        b=$(basename "$f"); cp "$f" "$work/$i-$b"; n=$((n + 1))
    done
done
echo "$n files"

# Warm the page cache so every tool reads from memory.
cat "$work"/* >/dev/null

# Both Velmora runs must have read every file.
walk=$("$build/velmora-info-walk" "$work" "$temps" | cut -d' ' -f1)
floor=$("$build/velmora-info-walk" -f "$work" | cut -d' ' -f1)
[ "$walk" -eq "$n" ] && [ "$floor" -eq "$n" ] || { echo "info texts $walk, floor $floor of $n files"; exit 1; }
for r in $(seq "$rounds"); do
    seconds "$build/velmora-info-walk" "$work" "$temps" >> "$temps/t.v"
    seconds "$build/velmora-info-walk" -f "$work" >> "$temps/t.f"
    # Given a folder, mediainfo reads only a few of its files: name them all.
    seconds mediainfo "$work"/* >> "$temps/t.m"
    seconds exiftool -fast -q "$work" >> "$temps/t.e"
done
v=$(median "$temps/t.v"); f=$(median "$temps/t.f"); m=$(median "$temps/t.m"); e=$(median "$temps/t.e")
awk -v v="$v" -v f="$f" -v m="$m" -v e="$e" -v r="$rounds" 'BEGIN {
    printf "Velmora    %8.3fs   (medians of %d)\n", v, r
    printf "floor      %8.3fs   Velmora takes %.1fx the floor\n", f, v / f
    printf "mediainfo  %8.3fs   Velmora is %.1fx faster\n", m, m / v
    printf "exiftool   %8.3fs   Velmora is %.1fx faster\n", e, e / v }'
