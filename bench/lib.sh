# What the benchmark scripts share; each sources it after `set -euo pipefail`.

# Prints the wall seconds a command took, its output discarded; fails when
# the command fails.
seconds() {
    local t0 t1
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || return 1
    t1=$(date +%s.%N)
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f\n", b - a }'
}

# The median of a column of numbers, from the file named or standard input.
median() {
    sort -g "${1:-/dev/stdin}" |
        awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Installs nginx with apt-get when it is missing.
need_nginx() {
    command -v nginx >/dev/null || PATH=$PATH:/usr/sbin
    command -v nginx >/dev/null || { apt-get update -q && apt-get install -y -q nginx-light; }
}

# Starts nginx in the foreground of a background job, with its files in
# folder WORK, WORKERS worker processes ("auto": one a core), CONNECTIONS
# connections a worker, the access log off, and the given directives of its
# http block; sets npid.  Returns once it takes connections on PORT.
#   start_nginx WORK PORT WORKERS CONNECTIONS HTTP_DIRECTIVES
start_nginx() {
    local work=$1 port=$2
    cat > "$work/nginx.conf" <<CONF
worker_processes $3;
user $(id -un);
pid $work/nginx.pid;
error_log $work/nginx-error.log;
daemon off;
events { worker_connections $4; }
http {
    access_log off;
    $5
}
CONF
    nginx -c "$work/nginx.conf" -p "$work" &
    npid=$!
    for _ in $(seq 100); do
        kill -0 "$npid" 2>/dev/null && (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
        sleep 0.1
    done
    echo "nginx did not start"
    return 1
}
