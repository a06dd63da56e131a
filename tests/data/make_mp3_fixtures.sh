#!/bin/sh
# Builds the MP3 fixtures of the info tests in tests/data/mp3/: 1.25 seconds
# of a 440 Hz tone encoded by lame, tagged by lame where it can (ID3v2.3,
# ID3v1) and by hand-built tag bytes where it cannot (ID3v2.4 with a UTF-16
# title and a picture, ID3v2.2, an APE tag with an enhanced tag and ID3v1).
# Needs lame, ffmpeg and python3 (apt-get install -y lame ffmpeg python3).  The outputs are
# committed; run this only to remake them.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
out="$here/mp3"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

# The tone as 16-bit mono WAV at each rate used.
python3 - "$work" <<'PY'
import math, struct, sys, wave
for rate in (44100, 22050, 24000):
    w = wave.open(f"{sys.argv[1]}/tone{rate}.wav", "wb")
    w.setnchannels(1)
    w.setsampwidth(2)
    w.setframerate(rate)
    w.writeframes(b"".join(struct.pack("<h", int(8000 * math.sin(2 * math.pi * 440 * i / rate)))
                           for i in range(rate * 5 // 4)))
    w.close()
PY

enc() { lame --quiet -m m --cbr "$@"; }

# MPEG-1 Layer III, 44.1 kHz, ID3v2.3 in Latin-1 with 128 bytes of padding.
enc -b 32 --resample 44.1 --id3v2-only --id3v2-latin1 --pad-id3v2 \
    --tt "Song" --ta "Artist" --tl "Album" --ty 2024 --tn 3 --tg Rock \
    "$work/tone44100.wav" "$out/v23_mpeg1.mp3"

# MPEG-2 Layer III, 24 kHz, ID3v2.3 in UTF-16 and without padding.
enc -b 64 --id3v2-only --id3v2-utf16 --tt "Sång" --ta "Ärtist" \
    "$work/tone24000.wav" "$out/v23_utf16_mpeg2.mp3"

# MPEG-2 Layer III, 22.05 kHz, ID3v1.1 only.
enc -b 64 --id3v1-only --tt "Song One" --ta "Artist One" --tl "Album One" \
    --ty 1999 --tc "A comment" --tn 5 --tg Jazz \
    "$work/tone22050.wav" "$out/v1_mpeg2.mp3"

# Untagged bodies for the hand-built tags.
enc -b 48 --resample 44.1 "$work/tone44100.wav" "$work/body44.mp3"
enc -b 32 "$work/tone22050.wav" "$work/body22.mp3"
enc -b 32 "$work/tone24000.wav" "$work/body24.mp3"

python3 - "$work" "$out" <<'PY'
import struct, sys
work, out = sys.argv[1], sys.argv[2]

def syncsafe(n):
    return bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])

def tag(version, frames, padding):
    body = b"".join(frames) + bytes(padding)
    return b"ID3" + bytes([version, 0, 0]) + syncsafe(len(body)) + body

def v24(fid, data):
    return fid + syncsafe(len(data)) + b"\0\0" + data

def v22(fid, data):
    return fid + len(data).to_bytes(3, "big") + data

# A picture body of 1500 bytes: a JPEG start and filler.
picture = b"\xff\xd8\xff\xe0" + bytes((i * 7) & 0x7F for i in range(1496))

def body(name):
    with open(f"{work}/{name}", "rb") as f:
        return f.read()

# ID3v2.4: a UTF-16 title, a picture larger than the first window, then
# frames after it, a date frame the reader does not know, and padding.
frames = [
    v24(b"TIT2", b"\x01" + "Song Four".encode("utf-16")),
    v24(b"TPE1", b"\x00Artist Four"),
    v24(b"APIC", b"\x00image/jpeg\x00\x03\x00" + picture),
    v24(b"TALB", b"\x03Album Four"),
    v24(b"TDRC", b"\x002024"),
    v24(b"TRCK", b"\x004/12"),
    v24(b"TCON", b"\x00(17)"),
]
with open(f"{out}/v24_picture.mp3", "wb") as f:
    f.write(tag(4, frames, 200) + body("body44.mp3"))

# ID3v2.2: a picture first, then the text frames, then padding.
frames = [
    v22(b"PIC", b"\x00JPG\x03\x00" + picture),
    v22(b"TT2", b"\x00Song Two"),
    v22(b"TP1", b"\x00Artist Two"),
    v22(b"TAL", b"\x00Album Two"),
    v22(b"TYE", b"\x001998"),
    v22(b"TRK", b"\x002"),
    v22(b"TCO", b"\x00(8)"),
]
with open(f"{out}/v22_picture.mp3", "wb") as f:
    f.write(tag(2, frames, 100) + body("body22.mp3"))

# No ID3v2: an APE tag (header and footer), an enhanced tag, then ID3v1.
def fixed(text, width):
    return text.encode("latin-1").ljust(width, b"\0")

ape_item = struct.pack("<II", 5, 0) + b"Title\0" + b"Hello"
ape_size = len(ape_item) + 32
ape_head = b"APETAGEX" + struct.pack("<IIII", 2000, ape_size, 1, 0xA0000000) + bytes(8)
ape_foot = b"APETAGEX" + struct.pack("<IIII", 2000, ape_size, 1, 0x80000000) + bytes(8)
tagplus = (b"TAG+" + fixed("Enhanced Title", 60) + fixed("Enhanced Artist", 60)
           + fixed("Enhanced Album", 60) + b"\x01" + fixed("Trip Rock   ", 30)
           + b"001:05" + b"003:30")
assert len(tagplus) == 227
id3v1 = (b"TAG" + fixed("V1 Title", 30) + fixed("V1 Artist", 30) + fixed("V1 Album", 30)
         + b"2001" + fixed("V1 Comment", 30) + bytes([17]))
assert len(id3v1) == 128
with open(f"{out}/ape_tagplus.mp3", "wb") as f:
    f.write(body("body24.mp3") + ape_head + ape_item + ape_foot + tagplus + id3v1)
PY

# The oracle of each file, beside it as NAME.oracle: what ffprobe says of
# its first audio stream (bit rate, duration).  Needs ffmpeg.
for f in "$out"/*.mp3; do
    ffprobe -v error -select_streams a:0 -show_entries stream=bit_rate,duration \
        -of default=nw=1 "$f" > "${f%.mp3}.oracle"
done

ls -l "$out"
