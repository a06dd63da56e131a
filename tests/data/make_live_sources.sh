#!/bin/sh
# Makes the movies of the live-stream tests in the folder given (default:
# the current one): a few seconds each, small pictures, so VLC transcodes
# them in about a second.
#   clip.mkv   H.264 video and AAC audio in Matroska (4 s)
#   clip.avi   MPEG-2 video and MPEG audio layer 2 in AVI (3 s)
#   long.mkv   as clip.mkv, 20 s, for stopping a stream half way
set -e
out=${1:-.}
src="-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=frequency=440:sample_rate=44100"
ffmpeg -loglevel error -y $src -t 4 -c:v libx264 -preset ultrafast -g 25 -c:a aac "$out/clip.mkv"
ffmpeg -loglevel error -y $src -t 3 -c:v mpeg2video -c:a mp2 "$out/clip.avi"
ffmpeg -loglevel error -y $src -t 20 -c:v libx264 -preset ultrafast -g 25 -c:a aac "$out/long.mkv"
