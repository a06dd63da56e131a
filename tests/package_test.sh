#!/usr/bin/env bash
# The Debian package as a user's machine meets it: lintian and systemd accept
# it; on a clean Debian 12 root it installs with its account, removes keeping
# the account's data, purges leaving nothing; installed again, the root boots
# (systemd-nspawn) and the service answers the channel as its account,
# transcodes, comes back after a crash and stops cleanly.  All in namespaces
# of its own (mounts, processes, loopback-only network).
#
#   tests/package_test.sh [velmora.deb]
set -euo pipefail

fail() { echo "package test: $*" >&2; exit 1; }

# Every path of the root but what dpkg and the account tools keep for
# themselves, /run (a tmpfs on a running system) and the mounted /proc.
list_files() {
    chroot "$1" find / -xdev \( -path /proc -o -path /run -o -path /tmp -o -path /var/lib/dpkg \
        -o -path /var/log -o -path /var/cache/debconf -o -name '*-old' \
        -o -regex '/etc/\(passwd\|group\|shadow\|gshadow\)-' \) -prune -o -print | sort
}

# What runs in the booted root once the service has started: the checks, then
# power-off.  Its last line is "ok" when all passed.
check_script() {
    cat <<'CHECK'
#!/bin/sh
exec >/velmora-check.log 2>&1
fail() {
    echo "$*"
    systemctl status velmora --no-pager
    journalctl -u velmora --no-pager
    off
    exit 1
}
# Without a D-Bus system bus systemctl says so before it powers off directly.
off() { systemctl poweroff >/dev/null 2>&1; }
prop() { systemctl show -p "$1" --value velmora.service; }
servers() { journalctl -u velmora -o cat | grep -c '^Server - '; }
# Waits up to 30 s for the service to print its Server line the $1th time.
started() {
    n=0
    until [ "$(servers)" -ge "$1" ]; do
        n=$((n + 1))
        [ $n -lt 300 ] || fail "no Server line number $1"
        sleep 0.1
    done
}
started 1
port=$(journalctl -u velmora -o cat | sed -n 's/^Server - 127\.0\.0\.1:\([0-9]*\) - .*/\1/p' | head -n 1)
[ -n "$port" ] || fail "the Server line names no loopback port"
journalctl -u velmora -o cat | grep -q '^Panel - http://127\.0\.0\.1:[0-9]*/?token=' || fail "no Panel line in the journal"
pid=$(prop MainPID)
[ "$(stat -c %U "/proc/$pid")" = velmora ] || fail "the server runs as $(stat -c %U "/proc/$pid")"
velmora-channel 127.0.0.1 "$port" /Roku/ /Roku/Roku_Config.txt >/tmp/roku || fail "the channel's sequence or /Roku/ failed"
grep -q '^HTTP/1.1 200 ' /tmp/roku || fail "no 200 for /Roku/"
grep -q '^\[Velmora\]' /tmp/roku || fail "Roku_Config.txt has no [Velmora] section"

# A movie in a shared folder with transcoding on: the service starts VLC and
# its D-Bus session bus, which write the live stream into the data folder.
velmora-channel -I 127.0.0.1 "$port" /Roku/Movies/clip.mkv >/tmp/head || true
grep -q '^HTTP/ 301 ' /tmp/head || fail "no redirect to a live stream: $(cat /tmp/head)"
playlist=$(sed -n "s|^Location: http://127.0.0.1:$port||p" /tmp/head)
velmora-channel 127.0.0.1 "$port" "$playlist" >/tmp/playlist || fail "no playlist at $playlist"
grep -q '^#EXTM3U' /tmp/playlist || fail "the playlist is no HLS playlist"
[ "$(prop NRestarts)" = 0 ] || fail "the service restarted without a crash"

# A crash writes its report into the data folder and brings a restart.
kill -SEGV "$pid"
started 2
grep -q 'Segmentation violation' '/var/lib/velmora/My Roku/trace.txt' || fail "no crash report"
[ "$(prop NRestarts)" = 1 ] || fail "NRestarts is $(prop NRestarts) after a crash"

systemctl stop velmora
[ "$(prop Result)" = success ] || fail "the stop's result is $(prop Result)"
[ "$(prop ExecMainStatus)" = 0 ] || fail "SIGTERM ended the server with $(prop ExecMainStatus)"
echo ok
off
CHECK
}

# The install, remove and purge, and the boot, inside the namespaces.
inside() {
    local root=$1 deb=$2 movies=$3 log=$1/tmp/dpkg.log
    mount --make-rprivate /
    # systemd-nspawn keeps its locks in /run: a private one leaves no trace.
    mount -t tmpfs tmpfs /run
    mount -t proc proc "$root/proc"
    cp "$deb" "$root/tmp/velmora.deb"
    list_files "$root" >"$root/tmp/before"
    dpkg_in() { chroot "$root" dpkg "$@" >>"$log" 2>&1 || { cat "$log"; fail "dpkg $* failed"; }; }

    echo "-- install"
    dpkg_in -i /tmp/velmora.deb
    local home shell uid mode
    IFS=: read -r _ _ uid _ _ home shell <<<"$(chroot "$root" getent passwd velmora)" || fail "no account velmora"
    [ "$home" = /var/lib/velmora ] || fail "the account's home is $home"
    [ "$shell" = /usr/sbin/nologin ] || fail "the account's shell is $shell"
    [ "$uid" -lt 1000 ] || fail "velmora is not a system account (uid $uid)"
    mode=$(chroot "$root" stat -c '%U:%G %a' /var/lib/velmora)
    [ "$mode" = "velmora:velmora 750" ] || fail "/var/lib/velmora is $mode"
    [ -L "$root/etc/systemd/system/multi-user.target.wants/velmora.service" ] || fail "the service is not enabled"
    echo "data" >"$root/var/lib/velmora/kept"

    echo "-- remove keeps the account and its data"
    dpkg_in -r velmora
    [ ! -e "$root/usr/bin/velmora" ] || fail "remove left /usr/bin/velmora"
    chroot "$root" getent passwd velmora >/dev/null || fail "remove took the account"
    [ -f "$root/var/lib/velmora/kept" ] || fail "remove took the account's data"

    echo "-- purge leaves nothing"
    dpkg_in -P velmora
    ! chroot "$root" getent passwd velmora >/dev/null || fail "purge left the account"
    ! chroot "$root" getent group velmora >/dev/null || fail "purge left the group"
    list_files "$root" >"$root/tmp/after"
    diff "$root/tmp/before" "$root/tmp/after" >&2 || fail "purge left these differences"

    echo "-- boot: systemd runs the service"
    dpkg_in -i /tmp/velmora.deb
    # A shared movie folder, and transcoding on.
    mkdir -p "$root/srv/media" "$root/var/lib/velmora/My Roku"
    cp "$movies/clip.mkv" "$root/srv/media/"
    printf '[Velmora]\r\nIPadrs=127.0.0.1\r\nPort=0\r\nTranscode=1\r\n[Links]\r\nMovies=/srv/media\r\n' \
        >"$root/var/lib/velmora/My Roku/Velmora.ini"
    chroot "$root" chown -R velmora:velmora /var/lib/velmora
    check_script >"$root/usr/local/sbin/velmora-check"
    chmod 755 "$root/usr/local/sbin/velmora-check"
    printf '[Unit]\nAfter=velmora.service\n[Service]\nType=oneshot\nExecStart=/usr/local/sbin/velmora-check\n' \
        >"$root/etc/systemd/system/velmora-check.service"
    ln -s /etc/systemd/system/velmora-check.service "$root/etc/systemd/system/multi-user.target.wants/"
    umount "$root/proc"
    timeout 180 systemd-nspawn --quiet --register=no --keep-unit -D "$root" -b </dev/null >"$root/tmp/boot.log" 2>&1 || true
    [ "$(tail -n 1 "$root/velmora-check.log" 2>/dev/null)" = ok ] ||
        { cat "$root/tmp/boot.log" "$root/velmora-check.log" >&2; fail "the booted service failed its checks"; }
}

if [ "${1:-}" = "--inside" ]; then
    inside "$2" "$3" "$4"
    exit 0
fi

cd "$(dirname "$0")/.."
deb=${1:-$(tools/package.sh | tail -n 1)}
deb=$(realpath "$deb")

# No tag, informational ones included, but what packaging/lintian-overrides
# keeps with its reason; an override that no longer matches fails too.
echo "-- lintian"
status=0
out=$(lintian --fail-on error,warning,info -I --tag-display-limit 0 "$deb" 2>&1) || status=$?
grep -v '^running with root privileges' <<<"$out" || true
[ "$status" = 0 ] || fail "lintian reported a tag that packaging/lintian-overrides does not keep"

work=$(mktemp -d)
trap 'rm -rf --one-file-system "$work"' EXIT
mkdir "$work/root"
dpkg-deb -x "$deb" "$work/root"

echo "-- systemd-analyze verify"
# The unit beside the machine's own units, so its targets resolve.
cp -a /lib/systemd/system/. "$work/root/lib/systemd/system/"
out=$(systemd-analyze verify --man=no --root="$work/root" velmora.service 2>&1) || true
[ -z "$out" ] || fail "systemd-analyze: $out"
systemd-analyze security --offline=true --root="$work/root" velmora.service 2>&1 | tail -n 1
rm -rf "$work/root"

# A minimal Debian 12 root with systemd as its init and what the package
# depends on and recommends (VLC, D-Bus), made once and kept under build/
# (each run unpacks a fresh copy).
depends=$(dpkg-deb -f "$deb" Depends | sed 's/ *([^)]*)//g; s/ //g')
recommends=$(dpkg-deb -f "$deb" Recommends | sed 's/ *([^)]*)//g; s/ //g')
tarball=build/debian12-root-$(echo "$depends,$recommends" | md5sum | cut -c1-8).tar
if [ ! -f "$tarball" ]; then
    echo "-- mmdebstrap (Debian 12 minbase, systemd, $depends, $recommends)"
    started=$SECONDS
    # eatmydata spares dpkg its fsync calls while the root is made.
    mmdebstrap --quiet --format=tar --variant=minbase --include="systemd,systemd-sysv,$depends,$recommends" \
        --hook-dir=/usr/share/mmdebstrap/hooks/eatmydata bookworm "$tarball.part" </dev/null
    mv "$tarball.part" "$tarball"
    echo "made in $((SECONDS - started)) s"
fi
mkdir "$work/root"
tar -xf "$tarball" -C "$work/root"
mkdir "$work/movies"
tests/data/make_live_sources.sh "$work/movies"
unshare --mount --pid --fork --mount-proc --kill-child tools/netns.sh "$0" --inside "$work/root" "$deb" "$work/movies"
echo "package test passed"
