#!/usr/bin/env bash
# Runs the dialogs' driver (tests/win/dialogs.cpp) against velmora.exe under
# Wine on this script's display (xvfb-run) and serves the driver's requests:
# screenshots of the screen and the channel's listing over loopback.
#   tests/win/dialogs.sh WINE BUILD_DIR CHANNEL
set -euo pipefail
wine=$1 build=$2 channel=$3
art=$build/artefacts
rm -rf "$art"
mkdir -p "$art"
winpath() { echo "Z:$1" | tr / '\\'; }

serve() {
    while :; do
        for f in "$art"/*.shot; do
            [ -e "$f" ] || continue
            sleep 0.5   # the X server's last drawing, before the picture
            xwd -root -display "$DISPLAY" | convert xwd:- "${f%.shot}.png"
            rm -f "$f"
        done
        if [ -e "$art/listing.get" ]; then
            read -r port target <"$art/listing.get" || true
            "$channel" 127.0.0.1 "$port" "$target" >"$art/listing.txt" 2>&1 || true
            rm -f "$art/listing.get"
        fi
        sleep 0.2
    done
}
serve &
server=$!
trap 'kill $server' EXIT
# A desktop of Wine's own, which draws the windows' frames and captions.
"$wine" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
"$wine" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 800x600 /f >/dev/null 2>&1
"$(dirname "$wine")/wineserver" -k || true   # the next start takes up the new desktop
"$wine" "$build/velmora_dialogs.exe" "$(winpath "$build/velmora.exe")" "$(winpath "$art")" </dev/null
