#!/usr/bin/env python3
"""Writes music library files ("iTunes Music Library.xml") in the layout
iTunes writes them: an XML property list with one key to a line, TAB
indentation, "file://localhost/" locations with percent escapes and "&" as
the character reference "&#38;".

Without arguments it writes the small sample library of the import tests to
tests/data/itunes/sample.xml: Windows (C:/) and Mac/Linux locations, UTF-8
names, "&" in names and locations, a podcast, a video, tracks without an
Album, an Artist or a Track ID, two songs of one name, the playlists
"Library" and "Music", a smart playlist and a playlist without items.

With --tracks it writes a large library for the benchmark instead:

    make_itunes_library.py --tracks 50000 --folders 5000 --playlists 500 \\
        --root /srv/music --out "/tmp/lib/iTunes Music Library.xml" [--make-folders]

Standard library only.
"""
import argparse
import os
import sys
import urllib.parse

HEADER = """<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple Computer//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
\t<key>Major Version</key><integer>1</integer>
\t<key>Minor Version</key><integer>1</integer>
\t<key>Date</key><date>2013-11-26T00:06:12Z</date>
\t<key>Application Version</key><string>10.1.1</string>
\t<key>Features</key><integer>5</integer>
\t<key>Show Content Ratings</key><true/>
\t<key>Music Folder</key><string>{music}</string>
\t<key>Library Persistent ID</key><string>0FEDB09C8C94705E</string>
"""

SMART_INFO = ["AQEAAwAAAAIAAAAZAAAAAAAAAAcAAAABAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",
              "AAAAAA=="]


def text(s):
    """A string as iTunes escapes it inside <string>."""
    return s.replace("&", "&#38;").replace("<", "&#60;").replace(">", "&#62;")


def location(path):
    """The Location of a file: percent-encoded UTF-8 after file://localhost/."""
    quoted = urllib.parse.quote(path.encode("utf-8"), safe="/:,()!$'*+;=@-._~&")
    return text("file://localhost/" + quoted.lstrip("/"))


def value(v):
    if v is True:
        return "<true/>"
    if v is False:
        return "<false/>"
    if isinstance(v, int):
        return "<integer>%d</integer>" % v
    if isinstance(v, tuple):          # ("date", text)
        return "<date>%s</date>" % v[1]
    return "<string>%s</string>" % text(v)


def track_dict(out, number, keys):
    """One entry of the Tracks dict; keys is a list of (key, value)."""
    out.write("\t\t<key>%d</key>\n\t\t<dict>\n" % number)
    for k, v in keys:
        if k == "Location":
            out.write("\t\t\t<key>Location</key><string>%s</string>\n" % location(v))
        else:
            out.write("\t\t\t<key>%s</key>%s\n" % (k, value(v)))
    out.write("\t\t</dict>\n")


def playlist_dict(out, pid, name, items, master=False, smart=False, music=False):
    out.write("\t\t<dict>\n")
    out.write("\t\t\t<key>Name</key><string>%s</string>\n" % text(name))
    if master:
        out.write("\t\t\t<key>Master</key><true/>\n")
    out.write("\t\t\t<key>Playlist ID</key><integer>%d</integer>\n" % pid)
    out.write("\t\t\t<key>Playlist Persistent ID</key><string>%016X</string>\n" % (0xA2A2B1961B668A00 + pid))
    if master:
        out.write("\t\t\t<key>Visible</key><false/>\n")
    out.write("\t\t\t<key>All Items</key><true/>\n")
    if music:
        out.write("\t\t\t<key>Distinguished Kind</key><integer>4</integer>\n")
        out.write("\t\t\t<key>Music</key><true/>\n")
    if smart:
        out.write("\t\t\t<key>Smart Info</key>\n\t\t\t<data>\n")
        for line in SMART_INFO:
            out.write("\t\t\t%s\n" % line)
        out.write("\t\t\t</data>\n")
    if items is not None:
        out.write("\t\t\t<key>Playlist Items</key>\n\t\t\t<array>\n")
        for t in items:
            out.write("\t\t\t\t<dict>\n\t\t\t\t\t<key>Track ID</key><integer>%d</integer>\n\t\t\t\t</dict>\n" % t)
        out.write("\t\t\t</array>\n")
    out.write("\t\t</dict>\n")


def common(tid, size):
    """Keys every file track has besides its names."""
    return [("Kind", "MPEG audio file"), ("Size", size), ("Total Time", 237923),
            ("Date Modified", ("date", "2008-08-25T14:19:59Z")), ("Bit Rate", 256),
            ("Sample Rate", 44100), ("Persistent ID", "%016X" % (0x01E0620EDC22EF00 + tid)),
            ("Track Type", "File")]


def write_library(out, music, tracks, playlists):
    out.write(HEADER.format(music=location(music)))
    out.write("\t<key>Tracks</key>\n\t<dict>\n")
    for number, keys in tracks:
        track_dict(out, number, keys)
    out.write("\t</dict>\n")
    out.write("\t<key>Playlists</key>\n\t<array>\n")
    for p in playlists:
        playlist_dict(out, *p[:3], **p[3])
    out.write("\t</array>\n</dict>\n</plist>\n")


def sample(out):
    win = "C:/Users/Ann/Music/iTunes/iTunes Media/Music"
    tracks = []

    def song(tid, name, artist, album, path, extra=()):
        keys = [("Track ID", tid), ("Name", name)]
        if artist is not None:
            keys.append(("Artist", artist))
        if album is not None:
            keys.append(("Album", album))
        keys += common(tid, 1000 + tid) + list(extra) + [("Location", path)]
        tracks.append((tid, keys))

    song(101, "Come Together", "The Beatles", "Abbey Road",
         win + "/The Beatles/Abbey Road/01 Come Together.mp3", [("Compilation", False)])
    song(103, "Something", "The Beatles", "Abbey Road",
         win + "/The Beatles/Abbey Road/02 Something.mp3")
    song(105, "Café del Mar", "Energy 52", "Café del Mar",
         "/home/ann/Music/Energy 52/Café del Mar/01 Café del Mar.mp3")
    song(107, "Rock & Roll", "Led Zeppelin", "Led Zeppelin IV",
         "/home/ann/Music/Led Zeppelin/Led Zeppelin IV/04 Rock & Roll.mp3")
    song(109, "Untitled Demo", "Ann", None, "C:/Music/Demos/demo.mp3")
    # A track without a Track ID leaves no trace.
    tracks.append((110, [("Name", "Ghost"), ("Artist", "Nobody"), ("Album", "Nowhere"),
                         ("Location", "C:/Music/Ghost/ghost.mp3")]))
    song(111, "Episode 1", "Radiolab", "Radiolab Podcast", "C:/Music/Podcasts/Radiolab/ep1.mp3",
         [("Genre", "Podcast"), ("Podcast", True)])
    song(113, "Home Movie", "Ann", "Holidays", "/home/ann/Movies/home.m4v",
         [("Has Video", True)])
    song(115, "Something", "Shirley Bassey", "Something", "C:/Music/Shirley Bassey/Something.mp3")
    song(117, "Intro", None, "Demos", "C:/Music/Demos/intro.mp3")

    everything = [t for t, _ in tracks if t != 110]
    playlists = [
        (219, "Library", everything, {"master": True}),
        (229, "Music", [101, 103, 105, 107, 109, 115, 117], {"music": True}),
        (231, "Road Trip", [103, 101, 107], {}),
        (233, "90’s Music", [105], {"smart": True}),
        (235, "Empty", None, {}),
        (237, "Road Trip", [115], {}),
    ]
    write_library(out, "C:/Users/Ann/Music/iTunes/iTunes Media/", tracks, playlists)


def big(out, n_tracks, n_folders, n_playlists, root, make_folders=False):
    per_folder = max(1, n_tracks // max(1, n_folders))
    tracks = []
    for i in range(n_tracks):
        tid = 1000 + 2 * i
        folder = i // per_folder
        artist = "Artist %d" % (folder // 10)
        album = "Album %d" % folder
        name = "Song %d" % i
        path = "%s/%s/%s/%02d %s.mp3" % (root, artist, album, i % per_folder + 1, name)
        if make_folders:
            # The song itself (empty) and, once per folder, its cover.
            os.makedirs(os.path.dirname(path), exist_ok=True)
            open(path, "wb").close()
            if i % per_folder == 0:
                open(os.path.join(os.path.dirname(path), "Folder.jpg"), "wb").close()
        keys = [("Track ID", tid), ("Name", name), ("Artist", artist), ("Album Artist", artist),
                ("Album", album), ("Genre", "Rock")] + common(tid, 4000000 + i) + \
               [("Track Number", i % per_folder + 1), ("Year", 1990 + i % 30), ("Location", path)]
        tracks.append((tid, keys))
    ids = [t for t, _ in tracks]
    playlists = [(100000, "Library", ids, {"master": True}),
                 (100002, "Music", ids, {"music": True})]
    for p in range(n_playlists):
        start = (p * 97) % max(1, n_tracks)
        playlists.append((100004 + 2 * p, "Playlist %d" % p,
                          [ids[(start + k) % n_tracks] for k in range(50)] if n_tracks else [], {}))
    write_library(out, root + "/", tracks, playlists)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--tracks", type=int, help="write a large library of this many tracks")
    ap.add_argument("--folders", type=int, default=1000, help="folders the tracks lie in")
    ap.add_argument("--playlists", type=int, default=100, help="playlists of 50 tracks each")
    ap.add_argument("--root", default="/srv/music", help="folder the locations lie below")
    ap.add_argument("--out", help="file to write")
    ap.add_argument("--make-folders", action="store_true",
                    help="with --tracks, also make the folders on disk, each with its (empty) "
                         "songs and a Folder.jpg")
    args = ap.parse_args()

    if args.tracks is None:
        path = args.out or os.path.join(os.path.dirname(os.path.abspath(__file__)), "itunes", "sample.xml")
        with open(path, "w", encoding="utf-8", newline="\n") as out:
            sample(out)
    else:
        if not args.out:
            sys.exit("--out is needed with --tracks")
        with open(args.out, "w", encoding="utf-8", newline="\n") as out:
            big(out, args.tracks, args.folders, args.playlists, args.root.rstrip("/"), args.make_folders)


if __name__ == "__main__":
    main()
