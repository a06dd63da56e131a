#!/usr/bin/env bash
# Installs what Velmora needs on a Debian machine, using apt-get: the build
# tools and VLC (live transcoding) always; with --test also what the tests
# run against (GoogleTest, clang for the fuzz targets, ffmpeg, Chromium with
# Selenium, the SSDP peers, the packaging tools and what the package's test
# needs: mmdebstrap and eatmydata for a clean Debian root, systemd for
# systemd-analyze, systemd-container to boot that root with systemd; Node.js
# and zip for the Roku channel's checks, then the channel's pinned npm
# packages from channel/package-lock.json; the benchmarks' peers: nginx,
# mediainfo, exiftool; the Windows cross build and Wine with Xvfb to run it,
# xwd and ImageMagick for the screenshots of its dialogs);
# with --package what tools/package.sh needs; with --windows what
# tools/windows.sh needs (mingw-w64 with POSIX threads, GoogleTest's sources,
# NSIS for the installer, zip for the zip).  Packages already present are
# left alone.  No service is started by an install, and installing systemd
# does not make it the init system (that is systemd-sysv).
set -euo pipefail

want=(cmake g++ make vlc-bin vlc-plugin-base dbus)
if [ "${1:-}" = "--test" ]; then
    want+=(libgtest-dev clang libclang-rt-14-dev ffmpeg iproute2 util-linux
           chromium chromium-driver python3-selenium
           gupnp-tools minidlna
           dpkg-dev fakeroot lintian mmdebstrap eatmydata systemd systemd-container
           nodejs zip unzip nginx-light mediainfo libimage-exiftool-perl
           g++-mingw-w64-x86-64-posix wine64 xvfb x11-apps imagemagick nsis)
    # Debian's nodejs comes without npm; other builds of it bring their own.
    command -v npm >/dev/null || want+=(npm)
elif [ "${1:-}" = "--package" ]; then
    want+=(dpkg-dev)
elif [ "${1:-}" = "--windows" ]; then
    want+=(g++-mingw-w64-x86-64-posix libgtest-dev nsis zip)
fi

missing=()
for p in "${want[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done

# The channel's tools at the versions the lock file pins, unless they are
# installed at those versions already.
channel_packages() {
    [ "${1:-}" = "--test" ] || return 0
    local dir
    dir="$(dirname "$0")/../channel"
    if [ ! -f "$dir/node_modules/.package-lock.json" ] || [ "$dir/package-lock.json" -nt "$dir/node_modules/.package-lock.json" ]; then
        (cd "$dir" && npm ci --no-audit --no-fund)
    fi
}

if [ ${#missing[@]} -eq 0 ]; then
    channel_packages "${1:-}"
    exit 0
fi

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

# Some of these packages ship daemons (minidlna announces itself by SSDP on
# every network it sees).  Tests start their own copies inside their own
# network namespaces; an install must never start the system's copy.
guard=/usr/sbin/policy-rc.d
made_guard=0
if [ ! -e "$guard" ]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$guard" >/dev/null
    $sudo chmod 755 "$guard"
    made_guard=1
fi
trap '[ "$made_guard" = 1 ] && $sudo rm -f "$guard"' EXIT

$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
channel_packages "${1:-}"
