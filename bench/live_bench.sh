#!/usr/bin/env bash
# Live streams, in one run:
#  1. The segmenter against ffmpeg's HLS muxer (-c copy -f hls -hls_time 10)
#     on the same transport stream of about 1 GB (LIVE_BENCH_MB), made here
#     by looping a short MPEG-2 clip; prints both times and the speed ratio.
#  2. HEAD to redirect with the distribution's VLC and the default
#     parameters, for a 1080p H.264 movie and a 720p MPEG-2 movie of 20 s
#     (LIVE_BENCH_SECONDS): median of 5 runs (LIVE_BENCH_RUNS) each, against
#     the goal of 3 s; with the time to the end of the stream and the
#     transcoding speed as a multiple of real time.
set -euo pipefail
cd "$(dirname "$0")/.."
mb=${LIVE_BENCH_MB:-1024}
movie_seconds=${LIVE_BENCH_SECONDS:-20}
runs=${LIVE_BENCH_RUNS:-5}
build=${VELMORA_BUILD:-build/release}
if [ -z "${VELMORA_NETNS:-}" ]; then
    tools/setup.sh
    command -v ffmpeg >/dev/null || { apt-get update -q && apt-get install -y -q --no-install-recommends ffmpeg; }
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j"$(nproc)" --target velmora velmora-live >/dev/null
    # Start turns discovery on: the runs below stay in a network namespace.
    VELMORA_NETNS=1 exec tools/netns.sh "$(pwd)/bench/$(basename "$0")" "$@"
fi
live="$build/velmora-live"

work=$(mktemp -d)
chmod 755 "$work"
trap 'kill $vpid 2>/dev/null || true; wait 2>/dev/null; rm -rf "$work"' EXIT
vpid=

# ---- 1. segmenter throughput
ffmpeg -loglevel error -f lavfi -i testsrc=size=1280x720:rate=25 -f lavfi -i sine \
    -t $(( movie_seconds < 10 ? movie_seconds : 10 )) \
    -c:v mpeg2video -b:v 40M -maxrate 40M -bufsize 8M -c:a mp2 -f mpegts -pcr_period 100 "$work/clip.ts"
clip=$(stat -c %s "$work/clip.ts")
loops=$(( mb * 1048576 / clip ))
ffmpeg -loglevel error -stream_loop "$loops" -i "$work/clip.ts" -c copy -f mpegts "$work/big.ts"
size=$(stat -c %s "$work/big.ts")
cat "$work/big.ts" > /dev/null   # both runs read it from the page cache
v=$($live segment "$work/big.ts")
mkdir "$work/hls"
t0=$(date +%s.%N)
ffmpeg -loglevel error -i "$work/big.ts" -c copy -f hls -hls_time 10 -hls_list_size 0 "$work/hls/out.m3u8"
f=$(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')
rm -rf "$work/hls" "$work/clip.ts"
awk -v s="$size" -v v="$v" -v f="$f" 'BEGIN {
    printf "segmenter on %.0f MB: Velmora %.2f s (%.0f MB/s)   ffmpeg -f hls %.2f s (%.0f MB/s)   ratio %.2fx\n",
           s / 1048576, v, s / 1048576 / v, f, s / 1048576 / f, f / v }'
rm -f "$work/big.ts"

# ---- 2. HEAD to redirect with VLC
ffmpeg -loglevel error -f lavfi -i testsrc=size=1920x1080:rate=25 -f lavfi -i sine -t "$movie_seconds" \
    -c:v libx264 -preset veryfast -c:a aac "$work/h264-1080p.mkv"
ffmpeg -loglevel error -f lavfi -i testsrc=size=1280x720:rate=25 -f lavfi -i sine -t "$movie_seconds" \
    -c:v mpeg2video -b:v 6M -c:a mp2 "$work/mpeg2-720p.mpg"
chmod 644 "$work"/*.mkv "$work"/*.mpg
mkdir -p "$work/home/My Roku"
chmod 755 "$work/home"
printf '[Velmora]\r\nIPadrs=127.0.0.1\r\nPort=0\r\nTranscode=1\r\n[Links]\r\nMovies=%s\r\n' "$work" \
    > "$work/home/My Roku/Velmora.ini"
HOME="$work/home" "$build/velmora" -s > "$work/velmora.out" & vpid=$!
for _ in $(seq 100); do grep -q 'Server - 127.0.0.1:' "$work/velmora.out" 2>/dev/null && break; sleep 0.1; done
vport=$(sed -n 's/^Server - 127.0.0.1:\([0-9]*\) .*/\1/p' "$work/velmora.out")
for movie in h264-1080p.mkv mpeg2-720p.mpg; do
    times=$(for _ in $(seq "$runs"); do $live head "$vport" "/Roku/Movies/$movie" "$movie_seconds"; sleep 1; done | sort -n)
    median=$(echo "$times" | sed -n "$(( (runs + 1) / 2 ))p")
    [ "$(echo "$times" | wc -w)" -eq $(( 3 * runs )) ] || { echo "$movie: HEAD to redirect failed"; exit 1; }
    echo "$median" | awk -v m="$movie" '{
        printf "%-16s HEAD to redirect (first segment) median %.2f s (goal 3 s: %.2fx)   end of stream %.2f s   speed %.1fx real time\n",
               m, $1, 3 / $1, $2, $3 }'
done
