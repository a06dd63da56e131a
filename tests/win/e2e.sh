#!/usr/bin/env bash
# velmora.exe -s under Wine serves the channel stand-in over loopback: every
# answer, and Velmora.ini as left on Exit, must be the Linux build's for the
# same folders and settings, paths aside (Wine names /tmp Z:/tmp).  The runs
# take turns on one port.  Run in tools/netns.sh with WINEPREFIX set.
#   tests/win/e2e.sh WINE WIN_BUILD_DIR LINUX_VELMORA CHANNEL
set -euo pipefail
export LC_ALL=C
wine=$1 win_build=$2 exe=$2/velmora.exe linux=$3 channel=$4 port=50321 start_tries=120 exit_seconds=30
data=$(cd "$(dirname "$0")/../data" && pwd)
work=$(mktemp -d /tmp/velmora-e2e-XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT

# Media made by real tools: the fixtures of tests/data, a clip ffmpeg makes now.
media=$work/media
mkdir -p "$media/Movies/Clips" "$media/Music" "$media/Photos"
cp "$data"/video/clip.m4v "$data"/video/faststart.mp4 "$media/Movies/"
cp "$data"/mp3/v23_mpeg1.mp3 "$data"/mp3/v24_picture.mp3 "$media/Music/"
cp "$data"/jpeg/plain.jpg "$data"/jpeg/ii_exif.jpg "$media/Photos/"
ffmpeg -loglevel error -f lavfi -i testsrc=size=64x48:rate=10 -f lavfi -i sine -t 4 \
    -c:v libx264 -preset ultrafast -g 10 -c:a aac "$media/Movies/Clips/Short Clip.ts"

# The settings, folders named with prefix $1; the panel (its default is the platform's) off.
ini() {
    printf '[Velmora]\r\nIPadrs=127.0.0.1\r\nPort=%s\r\nTrace=1\r\n[Panel]\r\nAddress=off\r\n[Links]\r\n' $port
    for f in Movies Music Photos; do printf '%s=%s\r\n' $f "$1$media/$f"; done
}

# Each run of the stand-in starts the cookie sequence anew.
fetch() {
    "$channel" 127.0.0.1 $port / /Roku/ /Roku/Roku_Config.txt /Roku/Movies/ /Roku/Movies/Clips/ \
        /Roku/Music/v23_mpeg1.mp3?info /Roku/Movies/faststart.mp4?info /Roku/Photos/ii_exif.jpg?info \
        /Roku/Movies/Clips/Short%20Clip.ts /Roku/Movies/faststart.mp4 /Roku/Recent/ /Roku/Recent/0.mp4x &&
        "$channel" -r 100-299 127.0.0.1 $port /Roku/Music/v24_picture.mp3 &&
        "$channel" -r 300- 127.0.0.1 $port /Roku/Photos/plain.jpg
}

exec 4>&2   # the messages, whatever a fetch redirects
fail() { echo "e2e: $*" >&4; exit 1; }

# run NAME HOME FETCH COMMAND...: serves from HOME/My Roku, FETCH writes
# NAME.answers, ends with Exit (which saves the settings) into NAME.ini.
run() {
    local name=$1 home=$2 fetch=$3 tries=0 code=0
    shift 3
    mkfifo "$work/$name.in"
    "$@" -s <"$work/$name.in" >"$work/$name.out" 2>&1 &
    exec 3>"$work/$name.in"
    until "$channel" 127.0.0.1 $port / >/dev/null 2>&1; do
        [ $((tries += 1)) -lt $start_tries ] || fail "the $name server did not listen: $(cat "$work/$name.out")"
        sleep 0.5
    done
    $fetch >"$work/$name.answers" 2>"$work/$name.fetch" || fail "the $name server failed: $(cat "$work/$name.fetch")"
    echo Exit >&3
    exec 3>&-
    timeout $exit_seconds tail --pid=$! -f /dev/null || fail "the $name server did not end"
    wait $! || code=$?
    [ $code -eq 0 ] || fail "the $name server ended with $code: $(cat "$work/$name.out")"
    cp "$home/My Roku/Velmora.ini" "$work/$name.ini"
}

mkdir -p "$work/linux/My Roku"
ini "" >"$work/linux/My Roku/Velmora.ini"
HOME=$work/linux run linux "$work/linux" fetch "$linux"

# Wine's sockets are its server's, which must start in this namespace.
"$(dirname "$wine")/wineserver" -k 2>/dev/null || true
win_home=$(find "$WINEPREFIX/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -1)
mkdir -p "$win_home/My Roku"
ini Z: >"$win_home/My Roku/Velmora.ini"
run windows "$win_home" fetch "$wine" "$exe"
grep -qxF "Path = C:\\users/${win_home##*/}/My Roku" "$work/windows.out" || fail "My Roku is not in the profile folder"
grep -q "Keep awake: SetThreadExecutionState" "$win_home/My Roku/trace.txt" || fail "no SetThreadExecutionState"

# Each answer made comparable.  The paths lose Z: (a text's length follows).
# What each run makes has its own time: the Date line, a text's
# Last-Modified, the Recent folder's entries, a file's last access.  The
# file system's own order of a listing and its folder sizes (4096 on Linux,
# 0 on Windows) are the platform's: entries sorted, folder sizes left out.
answers_of() {
    python3 - "$1" "$work" <<'EOF'
import re, sys
data, work = open(sys.argv[1], 'rb').read(), sys.argv[2].encode()
while data:
    head, _, rest = data.partition(b'\n\n')
    length = int(re.search(rb'\nContent-length: (\d+)', head).group(1))
    body, data = rest[:length].replace(b'Z:' + work, work), rest[length:]
    if b'\nContent-type: text/html' in head:
        body = re.sub(rb'(<A HREF="[^"]*/">[^<]*</A>\t\t) *\d+', rb'\1-', body)
        if b'<TITLE>Directory listing of /Roku/Recent/' in body:
            body = re.sub(rb'(</A>\t\t)(?: *\d+|-)  \w+ \w+ +\d+ [\d:]+ \d+', rb'\1-', body)
        body = re.sub(rb'((?:<A HREF=[^\n]*?<BR>)+)',
                      lambda m: b''.join(sorted(e + b'<BR>' for e in m.group(1).split(b'<BR>')[:-1])), body)
    body = re.sub(rb'(^|\n)accessed:\d+', rb'\1accessed:-', body)
    head = re.sub(rb'\nDate: [^\n]*', b'\nDate: -', head)
    if b'\nContent-type: text/' in head:
        head = re.sub(rb'\nLast-Modified: [^\n]*', b'\nLast-Modified: -', head)
        head = re.sub(rb'\nContent-length: \d+', b'\nContent-length: %d' % len(body), head)
    sys.stdout.buffer.write(head + b'\n\n' + body + b'\n')
EOF
}
ini_of() { sed "s#Z:$work#$work#g" "$1"; }
for f in answers ini; do
    diff -a <(${f}_of "$work/linux.$f") <(${f}_of "$work/windows.$f") | head -40 >&2 ||
        fail "the Windows build's $f differ from the Linux build's"
done

# Live transcoding: the stream batch starts VLC (the stand-in, tests/win/vlc.cpp) with
# ShellExecuteA of cmd.exe; the segmenter cuts what it writes into the HLS
# playlist and segments; at the stream's end the quit batch ends it.
vlc_dir="$WINEPREFIX/drive_c/Program Files/VideoLAN/VLC"
mkdir -p "$vlc_dir"
cp "$win_build/vlc.exe" "$vlc_dir/vlc.exe"
fetch_live() {
    local at list tries=0
    at=$("$channel" -I 127.0.0.1 $port /Roku/Movies/Clips/Short%20Clip.ts |
        sed -n 's#^Location: http://127.0.0.1:[0-9]*\(.*/stream[0-9]*\)-Main\.m3u8$#\1#p') || true
    "$channel" 127.0.0.1 $port "$at-Main.m3u8" | grep "^${at##*/}-Files.m3u8" >/dev/null || fail "no playlist at $at"
    until list=$("$channel" 127.0.0.1 $port "$at-Files.m3u8") && grep -q EXT-X-ENDLIST <<<"$list"; do
        [ $((tries += 1)) -lt $start_tries ] || fail "the stream did not end: $list"
        sleep 0.5
    done
    "$channel" 127.0.0.1 $port "${at%/*}/$(grep -m1 '\.ts' <<<"$list" | tr -d '\r')" |
        grep "^Content-length: [1-9]" >/dev/null || fail "no segment"
    tries=0
    until [ "$(cat "$vlc_dir/quit.txt" 2>/dev/null)" = quit ]; do
        [ $((tries += 1)) -lt $start_tries ] || fail "VLC was not told to quit"
        sleep 0.5
    done
}
rm -f "$vlc_dir/quit.txt"
ini Z: | sed 's/^IPadrs=/Transcode=1\r\nIPadrs=/' >"$win_home/My Roku/Velmora.ini"
run live "$win_home" fetch_live "$wine" "$exe"
echo "e2e: the Windows build's answers and Velmora.ini are the Linux build's; it streams live with the stand-in VLC"
