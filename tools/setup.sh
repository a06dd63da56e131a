#!/usr/bin/env bash
# Installs what Velmora needs to build (and, with --test, to test) on a Debian
# machine, using apt-get.  Packages already present are left alone.
set -euo pipefail

want=(cmake g++ make)
if [ "${1:-}" = "--test" ]; then
    want+=(libgtest-dev clang libclang-rt-14-dev)
fi

missing=()
for p in "${want[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
