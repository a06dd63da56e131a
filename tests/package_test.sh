#!/usr/bin/env bash
# The Debian package as a user's machine meets it: lintian finds nothing to
# warn about, systemd accepts the service, and on a clean Debian 12 root made
# by mmdebstrap the package installs, creates its account, its server runs
# as that account and answers the channel, and purge leaves no account and no
# file behind.  The root runs in namespaces of its own (mounts, processes,
# and a network with loopback only), so nothing reaches the machine or its
# network and nothing is left when they end.
#
#   tests/package_test.sh [velmora.deb]
set -euo pipefail

fail() { echo "package test: $*" >&2; exit 1; }

# Waits up to $1 tenths of a second for the command that follows to succeed.
wait_for() {
    local n=$1; shift
    until "$@"; do
        n=$((n - 1))
        [ "$n" -gt 0 ] || return 1
        sleep 0.1
    done
}

# Every path of the root but what dpkg and the account tools keep for
# themselves, /run (a tmpfs on a running system) and the mounted /proc.
list_files() {
    chroot "$1" find / -xdev \( -path /proc -o -path /run -o -path /tmp -o -path /var/lib/dpkg -o -path /var/log \
        -o -path /var/cache/debconf -o -name '*-old' -o -regex '/etc/\(passwd\|group\|shadow\|gshadow\)-' \) \
        -prune -o -print | sort
}

# The install, run, remove and purge, inside the namespaces.
inside() {
    local root=$1 deb=$2
    mount --make-rprivate /
    mount -t proc proc "$root/proc"
    ip link set lo up
    ip link set lo multicast on
    ip route add 224.0.0.0/4 dev lo
    cp "$deb" "$root/tmp/velmora.deb"
    list_files "$root" >"$root/tmp/before"

    echo "-- install"
    chroot "$root" dpkg -i /tmp/velmora.deb >"$root/tmp/install.log" 2>&1 ||
        { cat "$root/tmp/install.log"; fail "dpkg -i failed"; }
    local home shell uid
    IFS=: read -r _ _ uid _ _ home shell <<<"$(chroot "$root" getent passwd velmora)" || fail "no account velmora"
    [ "$home" = /var/lib/velmora ] || fail "the account's home is $home"
    [ "$shell" = /usr/sbin/nologin ] || fail "the account's shell is $shell"
    [ "$uid" -lt 1000 ] || fail "velmora is not a system account (uid $uid)"
    local mode
    mode=$(chroot "$root" stat -c '%U:%G %a' /var/lib/velmora)
    [ "$mode" = "velmora:velmora 750" ] || fail "/var/lib/velmora is $mode"
    [ -L "$root/etc/systemd/system/multi-user.target.wants/velmora.service" ] || fail "the service is not enabled"

    echo "-- the service's command, as its account, with no standard input"
    local unit=$root/lib/systemd/system/velmora.service user exec
    user=$(sed -n 's/^User=//p' "$unit")
    exec=$(sed -n 's/^ExecStart=//p' "$unit")
    # shellcheck disable=SC2086  # the unit's command line is split as systemd splits it here
    chroot --userspec="$user:$user" "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
        HOME="$home" USER="$user" LOGNAME="$user" SHELL="$shell" $exec \
        </dev/null >"$root/tmp/out" 2>"$root/tmp/err" &
    local pid=$!
    server_line() { grep -qs '^Server - 127\.0\.0\.1:[0-9]* - ' "$root/tmp/out"; }
    wait_for 300 server_line || { cat "$root/tmp/out" "$root/tmp/err"; fail "no Server line"; }
    local port
    port=$(sed -n 's/^Server - 127\.0\.0\.1:\([0-9]*\) - .*/\1/p' "$root/tmp/out")
    [ "$(stat -c %u "/proc/$pid")" = "$uid" ] || fail "the server runs as uid $(stat -c %u "/proc/$pid")"
    local roku=$root/tmp/roku
    chroot "$root" velmora-channel 127.0.0.1 "$port" /Roku/ /Roku/Roku_Config.txt >"$roku" ||
        { cat "$roku"; fail "the channel's sequence or /Roku/ failed"; }
    grep -q "^HTTP/1.1 200 " "$roku" || { cat "$roku"; fail "no 200 for /Roku/"; }
    grep -q '^\[Velmora\]' "$roku" || fail "Roku_Config.txt has no [Velmora] section"
    [ "$(chroot "$root" stat -c %U "/var/lib/velmora/My Roku/Velmora.ini")" = "$user" ] ||
        fail "no Velmora.ini of the account's in /var/lib/velmora/My Roku"
    kill -0 "$pid" 2>/dev/null || fail "the server ended at the end of its input"
    kill -TERM "$pid"
    local status=0
    wait "$pid" || status=$?
    [ "$status" = 0 ] || { cat "$root/tmp/err"; fail "SIGTERM ended the server with $status"; }

    echo "-- remove keeps the account and its data"
    chroot "$root" dpkg -r velmora >>"$root/tmp/install.log" 2>&1 || { cat "$root/tmp/install.log"; fail "dpkg -r failed"; }
    [ ! -e "$root/usr/bin/velmora" ] || fail "remove left /usr/bin/velmora"
    chroot "$root" getent passwd velmora >/dev/null || fail "remove took the account"
    [ -f "$root/var/lib/velmora/My Roku/Velmora.ini" ] || fail "remove took the configuration"

    echo "-- purge leaves nothing"
    chroot "$root" dpkg -P velmora >>"$root/tmp/install.log" 2>&1 || { cat "$root/tmp/install.log"; fail "dpkg -P failed"; }
    ! chroot "$root" getent passwd velmora >/dev/null || fail "purge left the account"
    ! chroot "$root" getent group velmora >/dev/null || fail "purge left the group"
    list_files "$root" >"$root/tmp/after"
    diff "$root/tmp/before" "$root/tmp/after" >&2 || fail "purge left these differences"
}

if [ "${1:-}" = "--inside" ]; then
    inside "$2" "$3"
    exit 0
fi

cd "$(dirname "$0")/.."
deb=${1:-$(tools/package.sh | tail -n 1)}
deb=$(realpath "$deb")

echo "-- lintian"
status=0
out=$(lintian --fail-on error,warning --tag-display-limit 0 "$deb" 2>&1) || status=$?
grep -v '^running with root privileges' <<<"$out" || true
[ "$status" = 0 ] || fail "lintian found errors or warnings"

work=$(mktemp -d)
trap 'rm -rf --one-file-system "$work"' EXIT
mkdir "$work/root"
dpkg-deb -x "$deb" "$work/root"

if command -v systemd-analyze >/dev/null; then
    echo "-- systemd-analyze verify"
    # The unit beside the machine's own units, so its targets resolve.
    cp -a /lib/systemd/system/. "$work/root/lib/systemd/system/"
    out=$(systemd-analyze verify --man=no --root="$work/root" velmora.service 2>&1) || true
    [ -z "$out" ] || fail "systemd-analyze: $out"
    systemd-analyze security --offline=true --root="$work/root" velmora.service 2>&1 | tail -n 1
fi
rm -rf "$work/root"

# A minimal Debian 12 root with what the package depends on, made once and
# kept under build/ (a fresh copy is unpacked for every run).
depends=$(dpkg-deb -f "$deb" Depends | sed 's/ *([^)]*)//g; s/ //g')
tarball=build/debian12-root-$(echo "$depends" | md5sum | cut -c1-8).tar
if [ ! -f "$tarball" ]; then
    echo "-- mmdebstrap (Debian 12 minbase with $depends)"
    started=$SECONDS
    mmdebstrap --quiet --format=tar --variant=minbase --include="$depends" bookworm "$tarball.part" </dev/null
    mv "$tarball.part" "$tarball"
    echo "made in $((SECONDS - started)) s"
fi
mkdir "$work/root"
tar -xf "$tarball" -C "$work/root"
unshare --mount --net --pid --fork --mount-proc --kill-child "$0" --inside "$work/root" "$deb"
echo "package test passed"
