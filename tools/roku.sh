#!/usr/bin/env bash
# Checks and packs the Roku channel.  BrighterScript's compiler, with its
# linter, reads every script and component of channel/ and must report
# nothing at all; the checked files are then packed into
# build/velmora-roku.zip, which channel/tests/package.js checks (manifest,
# size, every component and file the code names).  Contacts no player: the
# zip is installed by hand (see README, "Put the channel on each player").
#   tools/roku.sh
set -euo pipefail
cd "$(dirname "$0")/.."
# The pinned tools, when tools/setup.sh --test has not installed them yet.
[ -x channel/node_modules/.bin/bsc ] || (cd channel && npm ci --no-audit --no-fund)

staging=build/channel-staging
rm -rf "$staging"
report=$(cd channel && node_modules/.bin/bsc --project bsconfig.json 2>&1) || { echo "$report"; exit 1; }
# Any diagnostic fails the check, warnings and hints included.
if grep -qE ' - (error|warning|hint|info) ' <<<"$report"; then
    echo "$report"
    echo "roku.sh: the channel has diagnostics" >&2
    exit 1
fi

zip=build/velmora-roku.zip
rm -f "$zip"
(cd "$staging" && zip -q -r -X "../$(basename "$zip")" manifest source components images)
node channel/tests/package.js "$zip"
echo "roku.sh: $zip ($(stat -c %s "$zip") bytes)"
