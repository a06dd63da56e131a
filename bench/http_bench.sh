#!/usr/bin/env bash
# Serves one 1 GiB file (HTTP_BENCH_MB) from Velmora and from nginx on
# loopback, side by side in one run, and fetches it with 1 client and with
# 32 clients at once (each from its own 127.0.1.x address; Velmora's clients
# follow the cookie sequence), ROUNDS times each.  Prints each
# throughput, the ratio Velmora/nginx, the CPU seconds (user and system) each
# server spent per GiB served, and Velmora's peak memory.  Velmora serves the
# file's folder as the title "Bench", as a user shares a folder.  Installs
# nginx with apt-get when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/lib.sh
mb=${HTTP_BENCH_MB:-1024}
build=${VELMORA_BUILD:-build/release}

need_nginx
if [ -z "${VELMORA_NETNS:-}" ]; then
    tools/setup.sh
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j"$(nproc)" --target velmora velmora-fetch >/dev/null
    # Start turns discovery on: the runs below stay in a network namespace.
    VELMORA_NETNS=1 exec tools/netns.sh "$(pwd)/bench/$(basename "$0")" "$@"
fi

work=$(mktemp -d)
trap 'kill $vpid $npid 2>/dev/null || true; wait 2>/dev/null; rm -rf "$work"' EXIT
chmod 755 "$work"
mkdir -p "$work/www" "$work/home/My Roku"
head -c $(( mb * 1048576 )) /dev/urandom > "$work/www/big.bin"

# nginx: two workers, as many as the machine has cores, sendfile on.
nport=18080
start_nginx "$work" $nport auto 1024 "sendfile on; server { listen 127.0.0.1:$nport; root $work/www; }"

printf '[Velmora]\r\nIPadrs=127.0.0.1\r\nPort=0\r\n[Links]\r\nBench=%s\r\n' "$work/www" \
    > "$work/home/My Roku/Velmora.ini"
HOME="$work/home" "$build/velmora" -s > "$work/velmora.out" & vpid=$!
for _ in $(seq 100); do grep -q 'Server - 127.0.0.1:' "$work/velmora.out" 2>/dev/null && break; sleep 0.1; done
vport=$(sed -n 's/^Server - 127.0.0.1:\([0-9]*\) .*/\1/p' "$work/velmora.out")
sleep 0.5

fetch="$build/velmora-fetch"
hz=$(getconf CLK_TCK)
# CPU clock ticks (user and system) of the given processes so far.
ticks() { for p in "$@"; do awk '{ print $14 + $15 }' "/proc/$p/stat"; done | awk '{ t += $1 } END { print t + 0 }'; }
# Runs one fetch and prints its output and, last, the CPU seconds per GiB
# served that the given processes spent meanwhile.
measure() {
    local procs=$1 out t0 t1
    shift
    t0=$(ticks $procs)
    out=$("$@") || return 1
    t1=$(ticks $procs)
    awk -v o="$out" -v d=$(( t1 - t0 )) -v hz="$hz" \
        'BEGIN { split(o, f, " "); printf "%s %.2f\n", o, d / hz / (f[1] / 1073741824) }'
}
workers=$(pgrep -P $npid | tr '\n' ' ')
# Two passes, one through each server, warm the page cache: the second
# read of a page moves it to the kernel's active list, work that would
# otherwise fall on whichever server is measured first.
$fetch -c -n 1 "$vport" /Roku/Bench/big.bin >/dev/null
$fetch -n 1 $nport /big.bin >/dev/null
rounds=${ROUNDS:-5}
for n in 1 32; do
    # The servers take turns going first; each figure is the median of
    # its rounds, as one round is short against the machine's noise.
    vs=; gs=
    for r in $(seq "$rounds"); do
        for side in $( [ $((r % 2)) = 1 ] && echo "v g" || echo "g v"); do
            if [ "$side" = v ]; then
                vs+=$(measure "$vpid" $fetch -c -n $n "$vport" /Roku/Bench/big.bin)$'\n' || { echo "Velmora fetch failed"; exit 1; }
            else
                gs+=$(measure "$npid $workers" $fetch -n $n $nport /big.bin)$'\n' || { echo "nginx fetch failed"; exit 1; }
            fi
        done
    done
    vm=$(printf %s "$vs" | cut -d' ' -f3 | median); gm=$(printf %s "$gs" | cut -d' ' -f3 | median)
    vc=$(printf %s "$vs" | cut -d' ' -f4 | median); gc=$(printf %s "$gs" | cut -d' ' -f4 | median)
    ratio=$(awk -v a="$vm" -v b="$gm" 'BEGIN { printf "%.2f", a / b }')
    printf '%2d client(s): Velmora %8s MB/s   nginx %8s MB/s   ratio %s   CPU s/GiB: Velmora %s nginx %s   (medians of %d rounds)\n' \
        "$n" "$vm" "$gm" "$ratio" "$vc" "$gc" "$rounds"
done
peak=$(awk '/VmHWM/ { print $2 " " $3 }' /proc/$vpid/status)
echo "Velmora peak memory: $peak"
