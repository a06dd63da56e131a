' Playing: the choice between direct play and the server's live stream,
' resume points, subtitles, the music queue, slideshow settings and order,
' and the PIN rule of private folders.

' What the player plays from its own decoders.
function DirectVideoExtensions() as object
    return {mp4: "mp4", m4v: "mp4", mov: "mp4", mkv: "mkv", ts: "ts", m3u8: "hls"}
end function

' Video codecs that the player decodes (four-character codes of the info text).
function DirectVideoCodecs() as object
    return {avc1: true, avc3: true, hvc1: true, hev1: true}
end function

' The plan for a video target: direct (with its stream format) or the
' server's live stream (a HEAD first; its 301 names the playlist).  info is
' the parsed info text or invalid.
function PlaybackPlan(target as string, info as dynamic) as object
    ext = Extension(DecodePath(target))
    format = DirectVideoExtensions()[ext]
    if format <> invalid and info <> invalid and info.all <> invalid then
        for each line in info.all
            if line.key = "Vcodec" and not DirectVideoCodecs().DoesExist(line.value) then format = invalid
        end for
    end if
    if format = invalid then return {mode: "transcode", head: target, kill: target + ".kill", format: "hls"}
    return {mode: "direct", format: format}
end function

' The playlist URL of a live-stream redirect, coded for the player (the
' server writes its folder names as they are, blanks included).
function LiveStreamUrl(location as dynamic) as dynamic
    if location = invalid or not StartsNoCase(location, "http://") then return invalid
    rest = Mid(location, 8)
    slash = rest.InStr("/")
    if slash < 0 then return invalid
    if Right(location, 5) <> ".m3u8" then return invalid
    ' The server may send the folder names coded or as they are.
    return "http://" + Left(rest, slash) + EncodePath(DecodePath(Mid(rest, slash + 1)))
end function

function RESUME_MIN_SECONDS() as integer
    return 10
end function
function RESUME_END_MARGIN() as integer
    return 30
end function

' Where to start a video: the saved position unless it is near either end.
function ResumeStart(saved as integer, duration as integer) as integer
    if saved < RESUME_MIN_SECONDS() then return 0
    if duration > 0 and saved > duration - RESUME_END_MARGIN() then return 0
    return saved
end function

' The subtitle file that sits beside a video in the same listing, or "".
function SubtitleHref(videoHref as string, entries as object) as string
    want = LCase(StemName(DecodePath(videoHref))) + ".srt"
    for each e in entries
        if LCase(DecodePath(e.href)) = want then return e.href
    end for
    return ""
end function

' The poster picture of the same name beside a video, or "".
function PosterHref(videoHref as string, entries as object) as string
    stem = LCase(StemName(DecodePath(videoHref)))
    for each ext in ["jpg", "png"]
        for each e in entries
            if LCase(DecodePath(e.href)) = stem + "." + ext then return e.href
        end for
    end for
    return ""
end function

' The music queue: the playable songs of items from the chosen one on,
' then those before it.
function MusicQueue(items as object, chosen as integer) as object
    songs = []
    n = items.Count()
    for k = 0 to n - 1
        item = items[(chosen + k) mod n]
        if item.kind = "audio" then songs.Push(item)
    end for
    return songs
end function

function SLIDE_DEFAULT_PERIOD() as integer
    return 6
end function

' Slideshow settings from the settings file: seconds per photo, seconds
' before the caption overlay shows (0: none), shuffle, random music from
' the library, and a music file.
function SlideSettings(config as object) as object
    period = ReadInt(ConfigValue(config, "SlideShow", "SS_period", ""), SLIDE_DEFAULT_PERIOD())
    if period < 1 then period = SLIDE_DEFAULT_PERIOD()
    return {period: period,
        overlay: ReadInt(ConfigValue(config, "SlideShow", "SS_overlay", ""), 0),
        shuffle: ReadInt(ConfigValue(config, "SlideShow", "SS_shuffle", ""), 0) <> 0,
        randomMusic: ReadInt(ConfigValue(config, "SlideShow", "SS_random", ""), 0) <> 0,
        music: ConfigValue(config, "SlideShow", "SS_music", "")}
end function

' The order in which photos show: as listed, or shuffled when the settings
' say so.  pick(n) returns a whole number from 1 to n (Rnd on the player).
function SlideOrder(count as integer, settings as object, pick as function) as object
    order = []
    for i = 0 to count - 1
        order.Push(i)
    end for
    if settings.shuffle then
        for i = count - 1 to 1 step -1
            j = pick(i + 1) - 1
            t = order[i]
            order[i] = order[j]
            order[j] = t
        end for
    end if
    return order
end function

function PlayerPick(n as integer) as integer
    return Rnd(n)
end function

' The music of a slideshow: the settings' file, else a random song of the
' library's songs when random music is on, else invalid.
function SlideMusic(settings as object, songs as object, pick as function) as dynamic
    if settings.music <> "" then return PathTarget(settings.music)
    if settings.randomMusic and songs.Count() > 0 then return songs[pick(songs.Count()) - 1]
    return invalid
end function

' The private folder (with its PIN) that holds path, or invalid.  Folders
' compare without regard to letter case, as the server marks them.
function PrivateFolder(path as string, config as object) as dynamic
    entries = config["paths"]
    if entries = invalid then return invalid
    p = LCase(path.Replace("\", "/"))
    if Right(p, 1) = "/" then p = Left(p, Len(p) - 1)
    for each e in entries
        folder = LCase(e.key.Replace("\", "/"))
        if Right(folder, 1) = "/" then folder = Left(folder, Len(folder) - 1)
        if p = folder or Left(p, Len(folder) + 1) = folder + "/" then return {folder: e.key, pin: e.value}
    end for
    return invalid
end function

' Whether path may open: it is in no private folder, or in one already
' opened with its PIN in this session (unlocked: folder to true).
function MayOpen(path as string, config as object, unlocked as object) as boolean
    p = PrivateFolder(path, config)
    return p = invalid or unlocked.DoesExist(LCase(p.folder))
end function

' Checks a typed PIN for the private folder of path; true opens the folder
' (and everything below it) for the rest of the session.
function EnterPin(path as string, typed as string, config as object, unlocked as object) as boolean
    p = PrivateFolder(path, config)
    if p = invalid then return true
    if p.pin = "" or typed <> p.pin then return false
    unlocked[LCase(p.folder)] = true
    return true
end function
