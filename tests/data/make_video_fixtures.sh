#!/bin/sh
# Builds the video fixtures of the info tests in tests/data/video/: tiny
# clips (64x48 test pattern, 440 Hz tone) encoded by ffmpeg as MP4, M4V and
# MOV with iTunes items, an MP4 with its "moov" first, one whose "mdat" has a
# 64-bit size, one with free-form items, and MPEG-2 program streams with GOP
# time codes.  Beside each file NAME it writes NAME.oracle with what ffprobe
# reads (duration=, width=, height=, sample_rate=, channels=).
# Needs ffmpeg and python3 (apt-get install -y ffmpeg python3).  The outputs
# are committed; run this only to remake them.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
out="$here/video"
mkdir -p "$out"

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
pattern="testsrc=size=64x48:rate=25"
tone() { echo "sine=frequency=440:sample_rate=$1"; }
h264="-c:v libx264 -preset veryslow -crf 40 -pix_fmt yuv420p -g 25 -bf 0"
tags="-metadata title=Holiday -metadata artist=Velmora_Band -metadata album=Clips
      -metadata comment=Tiny_test -metadata genre=Ambient -metadata date=2024
      -metadata composer=Nobody -metadata description=A_pattern"

# H.264 and AAC in MP4, "moov" after "mdat" as ffmpeg writes by default.
# shellcheck disable=SC2086
ff -f lavfi -i "$pattern" -f lavfi -i "$(tone 44100)" -t 1 $h264 \
   -c:a aac -b:a 24k -ac 2 $tags "$out/tagged.mp4"

# The same with "moov" first.
# shellcheck disable=SC2086
ff -f lavfi -i "$pattern" -f lavfi -i "$(tone 44100)" -t 1 $h264 \
   -c:a aac -b:a 24k -ac 2 $tags -movflags +faststart "$out/faststart.mp4"

# M4V (the iPod flavour): mono audio at 22.05 kHz.
ff -f lavfi -i "$pattern" -f lavfi -i "$(tone 22050)" -t 1 $h264 \
   -c:a aac -b:a 16k -ac 1 -metadata title=Phone_Clip -metadata artist=Someone \
   -f ipod "$out/clip.m4v"

# QuickTime: its user data items carry no "data" child.
# shellcheck disable=SC2086
ff -f lavfi -i "$pattern" -f lavfi -i "$(tone 44100)" -t 1 $h264 \
   -c:a aac -b:a 24k -ac 2 -metadata title=Quick "$out/clip.mov"

# Video only, 2 seconds, "moov" after "mdat": the source of the rewrites.
# shellcheck disable=SC2086
ff -f lavfi -i "$pattern" -t 2 $h264 -metadata title=Long "$out/work_video.mp4"

# MPEG-2 program streams: 3 seconds, a GOP a second; the second starts its
# time codes just before an hour so that the fields cross it.
ff -f lavfi -i "$pattern" -f lavfi -i "$(tone 22050)" -t 3 -c:v mpeg2video -b:v 40k \
   -g 25 -bf 0 -c:a mp2 -b:a 16k -ac 1 -f vob "$out/program.mpg"
ff -f lavfi -i "$pattern" -t 3 -c:v mpeg2video -b:v 40k -g 25 -bf 0 \
   -timecode 00:59:59:00 -f mpeg "$out/timecode.mpg"

python3 - "$out" <<'PY'
import struct, sys
out = sys.argv[1]

def boxes(data, start, end):
    """(offset, size, type) of the boxes between start and end."""
    i = start
    while i + 8 <= end:
        size, kind = struct.unpack(">I4s", data[i:i + 8])
        if size < 8:
            break
        yield i, size, kind
        i += size

def find(data, path, start=0, end=None):
    """Offsets of the boxes along path; "meta" has 4 bytes of version."""
    end = len(data) if end is None else end
    chain = []
    for name in path:
        for off, size, kind in boxes(data, start, end):
            if kind == name:
                chain.append((off, size))
                start, end = off + 8 + (4 if name == b"meta" else 0), off + size
                break
        else:
            raise SystemExit("no box " + name.decode())
    return chain

def box(kind, payload):
    return struct.pack(">I", 8 + len(payload)) + kind + payload

src = open(f"{out}/work_video.mp4", "rb").read()

# 64-bit "mdat": the 8-byte "free" before it and its own header become one
# header with size 1 and the 64-bit size, so every offset stays the same.
f = src.index(b"free") - 4
assert src[f + 12:f + 16] == b"mdat"
msize = struct.unpack(">I", src[f + 8:f + 12])[0]
big = src[:f] + struct.pack(">I4sQ", 1, b"mdat", msize + 8) + src[f + 16:]
open(f"{out}/mdat64.mp4", "wb").write(big)

# Free-form items appended to "ilst": iTunSMPB with its text, and a
# property list that the reader leaves out.  "moov" follows "mdat", so the
# chunk offsets stay valid when it grows.
def freeform(name, value):
    return box(b"----", box(b"mean", b"\0\0\0\0com.apple.iTunes")
               + box(b"name", b"\0\0\0\0" + name)
               + box(b"data", b"\0\0\0\1\0\0\0\0" + value))
extra = (freeform(b"iTunSMPB", b" 00000000 00000840 000001C0 0000000000000000")
         + freeform(b"iTunMOVI", b'<?xml version="1.0" encoding="UTF-8"?><plist/>'))
chain = find(src, [b"moov", b"udta", b"meta", b"ilst"])
data = bytearray(src)
ilst_end = chain[-1][0] + chain[-1][1]
data[ilst_end:ilst_end] = extra
for off, size in chain:
    struct.pack_into(">I", data, off, size + len(extra))
open(f"{out}/freeform.mp4", "wb").write(bytes(data))
PY
rm -f "$out/work_video.mp4"

# What ffprobe reads: the container's duration in seconds, the video's
# pixel size, the audio's sample rate and channels.
for f in "$out"/*.mp4 "$out"/*.m4v "$out"/*.mov "$out"/*.mpg; do
    {
        ffprobe -v error -show_entries format=duration -of default=nw=1 "$f"
        ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of default=nw=1 "$f"
        ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate,channels \
            -of default=nw=1 "$f"
    } > "$f.oracle"
done

ls -l "$out"
