#!/usr/bin/env bash
# Serves one 1 GiB file from Velmora and from nginx on loopback, side by side
# in one run, and fetches it with 1 client and with 32 clients at once
# (each from its own 127.0.1.x address; Velmora's clients follow the cookie
# sequence).  Prints each throughput, the ratio Velmora/nginx, and Velmora's
# peak memory.  Installs nginx with apt-get when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

command -v nginx >/dev/null || { apt-get update -q && apt-get install -y -q nginx-light; }
tools/setup.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_TESTS=OFF >/dev/null
cmake --build build/release -j"$(nproc)" --target velmora velmora-fetch >/dev/null
# Start turns discovery on: the runs below stay in a network namespace.
[ -n "${VELMORA_NETNS:-}" ] || VELMORA_NETNS=1 exec tools/netns.sh "$(pwd)/bench/$(basename "$0")" "$@"

work=$(mktemp -d)
trap 'kill $vpid $npid 2>/dev/null || true; wait 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/www" "$work/home/My Roku"
head -c 1073741824 /dev/urandom > "$work/www/big.bin"

# nginx: two workers, as many as the machine has cores, sendfile on.
nport=18080
cat > "$work/nginx.conf" <<CONF
worker_processes auto;
user $(id -un);
pid $work/nginx.pid;
error_log $work/nginx-error.log;
daemon off;
events { worker_connections 1024; }
http {
    access_log off;
    sendfile on;
    server { listen 127.0.0.1:$nport; root $work/www; }
}
CONF
nginx -c "$work/nginx.conf" -p "$work" & npid=$!

printf '[Velmora]\r\nIPadrs=127.0.0.1\r\nPort=0\r\n' > "$work/home/My Roku/Velmora.ini"
HOME="$work/home" build/release/velmora -s > "$work/velmora.out" & vpid=$!
for _ in $(seq 100); do grep -q 'Server - 127.0.0.1:' "$work/velmora.out" 2>/dev/null && break; sleep 0.1; done
vport=$(sed -n 's/^Server - 127.0.0.1:\([0-9]*\) .*/\1/p' "$work/velmora.out")
sleep 0.5

fetch=build/release/velmora-fetch
for n in 1 32; do
    # A first pass of each warms the page cache alike.
    $fetch -n 1 $nport /big.bin >/dev/null
    v=$($fetch -c -n $n "$vport" "$work/www/big.bin") || { echo "Velmora fetch failed"; exit 1; }
    g=$($fetch -n $n $nport /big.bin) || { echo "nginx fetch failed"; exit 1; }
    vm=$(echo "$v" | cut -d' ' -f3); gm=$(echo "$g" | cut -d' ' -f3)
    ratio=$(awk -v a="$vm" -v b="$gm" 'BEGIN { printf "%.2f", a / b }')
    printf '%2d client(s): Velmora %8s MB/s   nginx %8s MB/s   ratio %s\n' "$n" "$vm" "$gm" "$ratio"
done
peak=$(awk '/VmHWM/ { print $2 " " $3 }' /proc/$vpid/status)
echo "Velmora peak memory: $peak"
