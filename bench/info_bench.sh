#!/usr/bin/env bash
# Builds the info text of every file of a folder of a few thousand media
# files (copies of the test fixtures) in one process, side by side with
# mediainfo and "exiftool -fast" over the same folder, each in one process,
# and prints the times and the ratios.  Installs mediainfo and exiftool with
# apt-get when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
copies=${1:-250}

need=()
command -v mediainfo >/dev/null || need+=(mediainfo)
command -v exiftool >/dev/null || need+=(libimage-exiftool-perl)
[ ${#need[@]} -eq 0 ] || { apt-get update -q && apt-get install -y -q "${need[@]}"; }
tools/setup.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_TESTS=OFF >/dev/null
cmake --build build/release -j"$(nproc)" --target velmora-info-walk >/dev/null

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

seconds() { local t0 t1; t0=$(date +%s.%N); "$@" >/dev/null 2>&1; t1=$(date +%s.%N); awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }'; }
v=$(seconds build/release/velmora-info-walk "$work" "$temps")
# Given a folder, mediainfo reads only a few of its files: name them all.
m=$(seconds mediainfo "$work"/*)
e=$(seconds exiftool -fast -q "$work")
printf 'Velmora    %8ss\nmediainfo  %8ss   Velmora is %sx faster\nexiftool   %8ss   Velmora is %sx faster\n' \
    "$v" "$m" "$(awk -v a="$m" -v b="$v" 'BEGIN { printf "%.1f", a / b }')" \
    "$e" "$(awk -v a="$e" -v b="$v" 'BEGIN { printf "%.1f", a / b }')"
