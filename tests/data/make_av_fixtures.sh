#!/bin/sh
# Builds the AVI, FLV, FLAC and WMV fixtures of the info tests in
# tests/data/av/: one second of a tiny test picture (64x48) and a
# tone, encoded by ffmpeg and flac at low rates so that each file stays
# small.  Beside each file NAME goes NAME.oracle: what ffprobe says of it
# (duration in seconds, picture size, sample rate, channels), for the keys
# the reader and ffprobe should agree on.
# Needs ffmpeg (with ffprobe) and flac (apt-get install -y ffmpeg flac).
# The outputs are committed; run this only to remake them.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
out="$here/av"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

ff() { ffmpeg -hide_banner -loglevel error -y "$@" ; }
video="-f lavfi -i testsrc=size=64x48:rate=25:duration=1"
tone="-f lavfi -i sine=frequency=440:sample_rate=8000:duration=1"

# AVI: MPEG-4 part 2 and 8-bit PCM, 25 frames a second.
ff $video $tone -map 0:v -map 1:a -c:v mpeg4 -b:v 40k -c:a pcm_u8 -ac 1 "$out/clip.avi"

# FLV: Sorenson H.263 and MP3; ffmpeg writes the onMetaData tag.
ff $video -f lavfi -i sine=frequency=440:sample_rate=22050:duration=1 \
   -map 0:v -map 1:a -c:v flv1 -b:v 40k -c:a libmp3lame -b:a 32k -ac 1 "$out/clip.flv"

# FLAC: 44.1 kHz stereo, one second, Vorbis comments set by flac itself.
ff -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=1" -ac 2 \
   -c:a pcm_s16le -fflags +bitexact -flags:a +bitexact "$work/tone.wav"
flac --silent --force -8 --tag=TITLE=Tone --tag=ARTIST=Velmora \
     --tag="ALBUM=Test Signals" --tag=DATE=2024 -o "$out/tone.flac" "$work/tone.wav"

# WMV: Windows Media Video 8 and Audio 2, with a title and an author.
ff $video $tone -map 0:v -map 1:a -c:v wmv2 -b:v 40k -c:a wmav2 -b:a 24k -ac 1 \
   -metadata title="Test Clip" -metadata author="Velmora" "$out/clip.wmv"

# The oracle of each file: the format's duration, the first video
# stream's size and the first audio stream's rate and channels.
probe() {
    ffprobe -v error -show_entries "$2" -of default=noprint_wrappers=1 "$1" | head -n 1
}
for f in clip.avi clip.flv tone.flac clip.wmv; do
    p="$out/$f"
    {
        probe "$p" format=duration
        case $f in
        *.flac)
            probe "$p" stream=sample_rate
            probe "$p" stream=channels ;;
        *)
            ffprobe -v error -select_streams v:0 -show_entries stream=width,height \
                    -of default=noprint_wrappers=1 "$p" ;;
        esac
    } > "$p.oracle"
done

ls -l "$out"
