' The navigation model: what each screen lists and where each item leads.
' An item is {title, kind, target, poster, ...}; kinds: folder, recent,
' music, photos, search, video, audio, photo, group (music tracks), slides
' (a photo event or album), other.

function MUSIC_TABLES() as string
    return "/iTunes%20Tables/"
end function
function PHOTO_TABLES() as string
    return "/iPhoto%20Tables/"
end function

' The player fetches media, posters and subtitles itself, repeating the
' channel's last number; the server takes a repeated number only for its
' movie types and for mp3, m4a, wma, jpg, png, srt, ts and m3u8 files.  So
' only those are offered.
function VideoExtensions() as object
    return {mp4: 1, m4v: 1, mov: 1, mkv: 1, avi: 1, wmv: 1, flv: 1, mpg: 1, mpeg: 1, ts: 1, "3gp": 1, asf: 1, m3u8: 1}
end function

function AudioExtensions() as object
    return {mp3: 1, m4a: 1, wma: 1}
end function

function PhotoExtensions() as object
    return {jpg: 1, png: 1}
end function

' Side files that belong to a video and are not listed on their own.
function SideExtensions() as object
    return {srt: 1, info: 1, bif: 1, nfo: 1}
end function

function KindOf(name as string) as string
    ext = Extension(name)
    if VideoExtensions().DoesExist(ext) then return "video"
    if AudioExtensions().DoesExist(ext) then return "audio"
    if PhotoExtensions().DoesExist(ext) then return "photo"
    ' A recent-list entry (Movie.mp4x) names the file it stands for.
    if Len(ext) > 3 and Right(ext, 1) = "x" then return "alias"
    return "other"
end function

' The home screen: the titles of /Roku/, Recent, Music, Photos, Search.
function HomeItems(titles as object, hasMusic as boolean, hasPhotos as boolean) as object
    items = []
    for each t in titles.titles
        items.Push({title: t, kind: "folder", target: "/Roku/" + EncodePath(t) + "/"})
    end for
    if titles.recent then items.Push({title: "Recent", kind: "folder", target: "/Roku/Recent/"})
    if hasMusic then items.Push({title: "Music", kind: "music", target: MUSIC_TABLES()})
    if hasPhotos then items.Push({title: "Photos", kind: "photos", target: PHOTO_TABLES()})
    items.Push({title: "Search", kind: "search", target: ""})
    return items
end function

' The items of a folder listing below target: folders first as the server
' lists them, then files; a video's poster is the picture of the same name
' beside it (that picture is not listed again), its subtitles the .srt.
function FolderItems(listing as object, target as string) as object
    entries = listing.entries
    taken = {}
    for each e in entries
        if not e.isDir and KindOf(e.name) = "video" then
            poster = PosterHref(e.href, entries)
            if poster <> "" then taken[poster] = true
        end if
    end for
    items = []
    for each e in entries
        kind = "folder"
        if not e.isDir then kind = KindOf(e.name)
        ext = Extension(e.name)
        if not taken.DoesExist(e.href) and not SideExtensions().DoesExist(ext) then
            item = {title: e.name, kind: kind, target: target + e.href, poster: ""}
            if kind = "video" then
                poster = PosterHref(e.href, entries)
                if poster <> "" then item.poster = target + poster
                srt = SubtitleHref(e.href, entries)
                if srt <> "" then item.subtitle = target + srt
            else if kind = "photo" then
                item.poster = item.target
            end if
            if e.isDir then item.title = e.name + "/"
            items.Push(item)
        end if
    end for
    return items
end function

' The file-system path behind a /Roku/ target, through the titles of the
' settings file's Links section; invalid when the title is unknown.
function TargetPath(target as string, config as object) as dynamic
    t = DecodePath(target)
    if Left(t, 6) <> "/Roku/" then
        if Mid(t, 3, 1) = ":" then return Mid(t, 2)
        return t
    end if
    rest = Mid(t, 7)
    slash = rest.InStr("/")
    title = rest
    tail = ""
    if slash >= 0 then
        title = Left(rest, slash)
        tail = Mid(rest, slash + 1)
    end if
    folder = ConfigValue(config, "Links", title, invalid)
    if folder = invalid then return invalid
    return folder + tail
end function

' The search target: names holding term anywhere below the folder target.
function SearchTarget(folderTarget as string, term as string) as string
    return folderTarget + "*" + EncodePath(term) + "*&s"
end function

'' The target of a local path: below the title whose folder holds it, else
' the path itself.
function LocalTarget(path as string, config as object) as string
    p = path.Replace("\", "/")
    best = invalid
    links = config["links"]
    if links = invalid then links = []
    for each link in links
        folder = link.value.Replace("\", "/")
        if Left(p, Len(folder) + 1) = folder + "/" and (best = invalid or Len(folder) > Len(best.value)) then best = link
    end for
    if best = invalid then return PathTarget(p)
    return "/Roku/" + EncodePath(best.key) + EncodePath(Mid(p, Len(best.value) + 1))
end function

' Search answers as items.
function SearchItems(found as object, config as object) as object
    items = []
    for each f in found
        items.Push({title: f.name, kind: KindOf(f.name), target: LocalTarget(f.path, config), poster: ""})
    end for
    return items
end function

'' A video without a picture beside it: its info text's picture, when it has
' one, else a line of the info text under its title.
sub DescribeVideo(item as object, info as object)
    if info["icon"] <> invalid then
        item.poster = info["icon"]
        return
    end if
    lines = DetailLines(info, "")
    lines.Shift()
    item.description = lines.Join("  ")
end sub

' A recent-list entry resolved through its info text: the file it names,
' played through its URL on the server when the info gives one.
function RecentItem(info as object, conn as object) as dynamic
    location = info["location"]
    if location = invalid then return invalid
    item = {title: BaseName(location), kind: KindOf(location), target: PathTarget(location), poster: ""}
    path = info["path"]
    if path <> invalid then
        prefix = ServerUrl(conn, "")
        if Left(path, Len(prefix)) = prefix then item.target = Mid(path, Len(prefix) + 1)
    end if
    if info["icon"] <> invalid then item.poster = info["icon"]
    if info["Srt"] <> invalid then item.subtitle = info["Srt"]
    return item
end function

' The music menu: one entry per table the library has.
function MusicMenu() as object
    items = []
    for each name in ["Albums", "Artists", "Songs", "Playlists", "Podcasts"]
        items.Push({title: name, kind: "table", target: MUSIC_TABLES() + LCase(name) + ".txt", art: MUSIC_TABLES() + MusicArtTable(name)})
    end for
    return items
end function

function MusicArtTable(menu as string) as string
    if menu = "Albums" or menu = "Podcasts" or menu = "Playlists" then return "album_art.txt"
    if menu = "Artists" then return "artist_art.txt"
    return "music_art.txt"
end function

' The groups of a music table as items, each with its artwork when the
' artwork table has a picture for its name.
function MusicGroupItems(groups as object, art as object) as object
    items = []
    for each g in groups
        item = {title: g.name, kind: "group", ids: g.ids, poster: ""}
        picture = art[LCase(g.name).Trim()]
        if picture <> invalid then item.poster = PathTarget(picture)
        items.Push(item)
    end for
    return items
end function

' The target of a track's file: through the library folder that holds it
' ("/iTunes Tables/linkN/..."), else its own path.
function TrackTarget(location as dynamic, links as object) as dynamic
    if location = invalid then return invalid
    prefix = "file://localhost/"
    if Left(location, Len(prefix)) <> prefix then return invalid
    loc = Mid(location, Len(prefix) + 1)
    best = -1
    for i = 0 to links.Count() - 1
        if Left(loc, Len(links[i])) = links[i] and (best < 0 or Len(links[i]) > Len(links[best])) then best = i
    end for
    if best < 0 then return "/" + loc
    return MUSIC_TABLES() + "link" + best.ToStr() + "/" + Mid(loc, Len(links[best]) + 1)
end function

' A song item from its track file.
function TrackItem(track as object, links as object, art as object) as dynamic
    target = TrackTarget(track["Location"], links)
    if target = invalid then return invalid
    item = {title: track["Name"], kind: "audio", target: target, poster: "", artist: track["Artist"], album: track["Album"]}
    if track["Name"] = invalid then item.title = BaseName(DecodePath(target))
    if track["Album"] <> invalid then
        picture = art[LCase(track["Album"]).Trim()]
        if picture <> invalid then item.poster = PathTarget(picture)
    end if
    return item
end function

' The photo menu.
function PhotoMenu() as object
    return [{title: "Events", kind: "table", target: PHOTO_TABLES() + "Events.txt"}, {title: "Albums", kind: "table", target: PHOTO_TABLES() + "Albums.txt"}]
end function

' The photo table's lines by position (the index's numbers: byte offset
' of the line plus one).
function PhotoLines(text as string) as object
    byPos = {}
    offset = 1
    for each line in text.Split(Chr(10))
        if line <> "" then byPos[offset.ToStr()] = ParsePhoto(line)
        offset = offset + ByteLength(line) + 1
    end for
    return byPos
end function

' The target of a photo path in folder-number form ("2/IMG_1.JPG").
function PhotoTarget(path as dynamic, folders as object) as dynamic
    if path = invalid then return invalid
    slash = path.InStr("/")
    if slash < 1 then return invalid
    n = ReadInt(Left(path, slash), -1)
    if n < 0 or n >= folders.Count() then return invalid
    return PathTarget(folders[n] + Mid(path, slash + 1))
end function

' The photos of an event or album, in its order, with their captions.
function SlideItems(group as object, index as object, lines as object, folders as object) as object
    items = []
    for each n in group.Items
        if n >= 0 and n < index.Count() and index[n] > 0 then
            photo = lines[index[n].ToStr()]
            if photo <> invalid then
                target = PhotoTarget(photo["path"], folders)
                if target <> invalid then
                    item = {title: "", kind: "photo", target: target, poster: target}
                    if photo["caption"] <> invalid then item.title = photo["caption"]
                    thumb = PhotoTarget(photo["thumb"], folders)
                    if thumb <> invalid then item.poster = thumb
                    items.Push(item)
                end if
            end if
        end if
    end for
    return items
end function

' The group items of a photo table (events or albums).
function PhotoGroupItems(groups as object) as object
    items = []
    for each g in groups
        items.Push({title: g.Name, kind: "slides", group: g, poster: ""})
    end for
    return items
end function

' What the details screen shows of an info text.
function DetailLines(info as object, title as string) as object
    lines = [title]
    names = {Title: "Title", title: "Title", Artist: "Artist", artist: "Artist", Album: "Album", album: "Album", Duration: "Length", duration: "Length", Date: "Date", year: "Year", Genre: "Genre", Description: "", Comment: "", comment: "", Width: "Width", Height: "Height"}
    seen = {}
    for each line in info.all
        label = names[line.key]
        if label <> invalid and not seen.DoesExist(line.key) then
            seen[line.key] = true
            value = line.value
            if label = "Length" then value = ClockText(ReadInt(value, 0))
            if label = "" then
                lines.Push(value)
            else
                lines.Push(label + ": " + value)
            end if
        end if
    end for
    if info["size"] <> invalid then lines.Push("Size: " + SizeText(info["size"]))
    return lines
end function

function ClockText(seconds as integer) as string
    hours = seconds \ 3600
    minutes = (seconds mod 3600) \ 60
    secs = seconds mod 60
    text = Right("0" + minutes.ToStr(), 2) + ":" + Right("0" + secs.ToStr(), 2)
    if hours > 0 then text = hours.ToStr() + ":" + text
    return text
end function

' A size in bytes as a person reads it.
function SizeText(bytes as string) as string
    if Len(bytes) <= 6 then return bytes + " bytes"
    return Int(Val(bytes) / 1000000 + 0.5).ToStr() + " MB"
end function

' The message and the way back for a failed request.
function ErrorMessage(ans as object, title as string) as string
    if ans.error = "noanswer" then return "The server does not answer. Check that Velmora is running, then try again."
    if ans.error = "refused" then return "The server refused the request for " + title + "."
    if ans.status = 404 then return title + " is not on the server any more."
    return "The server could not give " + title + " (" + ans.status.ToStr() + ")."
end function
