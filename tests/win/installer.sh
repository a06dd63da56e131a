#!/usr/bin/env bash
# The Windows installer under Wine, in a Wine prefix of its own (a clean
# machine): a silent install puts the staged files, the Start-menu entry, the
# start at log-on and the Add/Remove Programs entry in place; the installed
# program serves the channel over loopback; the uninstaller refuses while the
# program runs, and afterwards removes all it put there but "My Roku".
#   tests/win/installer.sh WINE SETUP STAGE CHANNEL   (inside tools/netns.sh)
set -euo pipefail
wine=$1 setup=$2 stage=$3 channel=$4
WINEPREFIX=$(mktemp -d /tmp/velmora-setup-XXXXXX)
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineserver=$(dirname "$wine")/wineserver
work=$(mktemp -d)
trap '"$wineserver" -k 2>/dev/null || true; "$wineserver" -w; rm -rf "$WINEPREFIX" "$work"' EXIT
fail() { echo "installer.sh: $*" >&2; exit 1; }
c=$WINEPREFIX/drive_c
home=$c/users/$(id -un)
dir="$c/Program Files/Velmora"
menu="$c/ProgramData/Microsoft/Windows/Start Menu/Programs/Velmora.lnk"
logon="$home/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/StartUp/Velmora.lnk"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Velmora'
"$wine" wineboot -i >/dev/null 2>&1

timeout 60 "$wine" "$setup" /S
for f in "$stage"/*; do cmp "$f" "$dir/${f##*/}" || fail "${f##*/} not installed as built"; done
[ -f "$dir/uninstall.exe" ] && [ -f "$menu" ] || fail "no uninstaller or Start-menu entry"
grep -qaP -- '-\x00m\x00' "$logon" || fail "no start at log-on behind the tray icon"
"$wine" reg query "$key" /v QuietUninstallString >/dev/null || fail "not in Add/Remove Programs"

mkfifo "$work/in"
timeout 120 "$wine" "$dir/velmora.exe" -s <"$work/in" >"$work/out" 2>&1 &
exec 3>"$work/in"
for _ in $(seq 150); do grep -q '^Server - ' "$work/out" && break; sleep 0.2; done
port=$(sed -n 's/^Server - [0-9.]*:\([0-9]*\) .*/\1/p' "$work/out")
[ -n "$port" ] || fail "the installed program did not start: $(cat "$work/out")"
"$channel" 127.0.0.1 "$port" /Roku/ >"$work/roku" 2>&1 || true
grep -q '^HTTP/1.1 200 ' "$work/roku" && grep -q 'Roku_Config.txt' "$work/roku" ||
    fail "/Roku/ from the installed program: $(cat "$work/roku")"
# In place (_?=), the uninstaller runs without its temporary copy, so its
# exit status is its own; _?= takes the rest of the line, blanks and all,
# which only a batch file passes through unquoted.
printf '@"C:\\Program Files\\Velmora\\uninstall.exe" /S _?=C:\\Program Files\\Velmora\r\n@exit /b %%ERRORLEVEL%%\r\n' >"$work/refuse.bat"
if timeout 60 "$wine" cmd /c "Z:$(echo "$work/refuse.bat" | tr / '\\')"; then
    fail "the uninstaller did not refuse while the program runs"
fi
for f in "$stage"/* "$dir/uninstall.exe"; do [ -f "$dir/${f##*/}" ] || fail "${f##*/} removed while running"; done
echo Exit >&3
exec 3>&-
wait $! || fail "the installed program did not exit cleanly"

# The uninstaller copies itself to a temporary folder and runs from there;
# every Wine process of the prefix has ended when the server has.
timeout 60 "$wine" "$dir/uninstall.exe" /S
timeout 60 "$wineserver" -w
left=$(find "$dir" "$menu" "$logon" 2>/dev/null || true)
[ -z "$left" ] || fail "left behind: $left"
if "$wine" reg query "$key" >/dev/null 2>&1; then fail "still in Add/Remove Programs"; fi
[ -f "$home/My Roku/Velmora.ini" ] || fail "the uninstaller removed My Roku"
echo "installer.sh: installed, served /Roku/ on port $port, uninstalled"
