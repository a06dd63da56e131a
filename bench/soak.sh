#!/usr/bin/env bash
# Soak run: 20 simulated channels, each from its own loopback address, browse
# the listings, fetch whole files and ranges, info texts and searches from one
# Velmora server for a given time (bench/soak.sh [SECONDS], 1800 by default;
# CI runs 60).  Every 10 s the server's memory, threads and open descriptors
# are sampled.  Fails when a request fails, or when any of the three still
# grows in the second half of the run beyond what the first half reached.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-1800}
channels=20
build=${VELMORA_BUILD:-build/release}
if [ ! -x "$build/velmora" ] || [ ! -x "$build/velmora-channel" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j2 --target velmora velmora-channel >/dev/null
fi

# Start turns discovery on: the run stays in a network namespace of its own.
[ -n "${VELMORA_NETNS:-}" ] || VELMORA_NETNS=1 exec tools/netns.sh "$(pwd)/bench/$(basename "$0")" "$@"
home=$(mktemp -d /tmp/velmora-soak-XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for _ in $(seq 1 50); do kill -0 "${pids[0]:-0}" 2>/dev/null || break; sleep 0.2; done
    kill -9 "${pids[0]:-0}" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$home"
}
trap cleanup EXIT

movies="$home/Media/Movies"
mkdir -p "$movies/Shows" "$home/My Roku"
head -c 3000000 /dev/urandom > "$movies/big.bin"
cp tests/data/mp3/*.mp3 tests/data/video/*.mp4 tests/data/jpeg/*.jpg "$movies/" 2>/dev/null || true
for i in $(seq 1 50); do echo "episode $i" > "$movies/Shows/ep$i.txt"; done
printf '[Velmora]\r\nIPadrs=127.0.0.1\r\nPort=0\r\n[Links]\r\nMovies=%s\r\n' "$movies" > "$home/My Roku/Velmora.ini"
mp3=$(cd "$movies" && ls *.mp3 | head -1)

HOME="$home" nice "$build/velmora" -s > "$home/out.txt" 2>&1 &
server=$!
pids+=("$server")
port=
for _ in $(seq 1 100); do
    port=$(sed -n 's/^Server - 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$home/out.txt" | head -1)
    [ -n "$port" ] && break
    sleep 0.2
done
[ -n "$port" ] || { echo "soak: the server did not start"; cat "$home/out.txt"; exit 1; }

deadline=$(( SECONDS + secs ))
channel() {   # one simulated channel: its own address, requests in rounds
    local src=127.0.0.$(( $1 + 1 )) ch="$build/velmora-channel"
    while [ $SECONDS -lt $deadline ]; do
        local from=$(( RANDOM * 50 ))
        nice "$ch" -s "$src" 127.0.0.1 "$port" /Roku/ /Roku/Movies/ /Roku/Movies/Shows/ \
            "/Roku/Movies/$mp3?info" "/Roku/Movies/Shows/ep*.txt&s" "/Roku/Movies/$mp3" \
            > /dev/null 2> "$home/err.$1" &&
        nice "$ch" -s "$src" -r "$from-$(( from + 99999 ))" 127.0.0.1 "$port" \
            /Roku/Movies/big.bin > /dev/null 2> "$home/err.$1" ||
        { echo "channel $1 at $SECONDS s: $(tail -1 "$home/err.$1")" >> "$home/failures"; }
        sleep 0.5   # a person reading the screen between two rounds
    done
}
for c in $(seq 1 $channels); do channel "$c" & pids+=("$!"); done

sample() {
    local rss threads fds
    rss=$(awk '/^VmRSS/ {print $2}' "/proc/$server/status")
    threads=$(awk '/^Threads/ {print $2}' "/proc/$server/status")
    fds=$(ls "/proc/$server/fd" | wc -l)
    echo "$(( SECONDS - deadline + secs )) $rss $threads $fds" >> "$home/samples"
}
echo "soak: $channels channels for $secs s on port $port"
while [ $SECONDS -lt $deadline ]; do
    kill -0 "$server" 2>/dev/null || { echo "soak: the server ended"; cat "$home/out.txt"; exit 1; }
    sample
    sleep 10
done
sample
for p in "${pids[@]:1}"; do wait "$p" 2>/dev/null || true; done

echo "seconds  rss(KiB)  threads  descriptors"
awk '{printf "%7d %9d %8d %12d\n", $1, $2, $3, $4}' "$home/samples"
status=0
if [ -s "$home/failures" ]; then
    echo "soak: FAILED requests:"; head "$home/failures"; status=1
fi
# Growth: the second half's highest against the first half's highest, with
# room for a warm-up (8 MiB of memory, 25 threads or descriptors, 20 %).
awk -v failed=$status '
    { t[NR] = $1; v[NR, 2] = $2; v[NR, 3] = $3; v[NR, 4] = $4 }
    END {
        half = int(NR / 2); split("rss threads descriptors", name, " ")
        slack[2] = 8192; slack[3] = 25; slack[4] = 25
        for (k = 2; k <= 4; k++) {
            a = 0; b = 0
            for (i = 1; i <= half; i++) if (v[i, k] > a) a = v[i, k]
            for (i = half + 1; i <= NR; i++) if (v[i, k] > b) b = v[i, k]
            if (b > a * 1.2 + slack[k]) { printf "soak: %s grew from %d to %d\n", name[k - 1], a, b; failed = 1 }
        }
        exit failed
    }' "$home/samples" && echo "soak: passed" || { echo "soak: FAILED"; exit 1; }
