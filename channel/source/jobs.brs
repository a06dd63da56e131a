' The channel's work against the server, one function per thing a screen
' needs.  Each takes the connection and returns {ok, ...} with either the
' data or an error message; the network task runs them off the screen's
' thread, the tests run them with recorded answers.

function Failed(ans as object, title as string) as object
    return {ok: false, message: ErrorMessage(ans, title)}
end function

' GET of a target; the answer (ok when its status is 200).
function Fetch(conn as object, target as string) as object
    ans = ServerRequest(conn, "GET", target)
    ans.ok = ans.error = "" and ans.status = 200
    return ans
end function

' The home screen: the titles, the settings file, and the music and photo
' libraries' folder tables (their presence shows the library).
function LoadHome(conn as object) as object
    roku = Fetch(conn, "/Roku/")
    if not roku.ok then return Failed(roku, "the title list")
    config = Fetch(conn, "/Roku/Roku_Config.txt")
    settings = {}
    if config.ok then settings = ParseConfig(config.body)
    links = Fetch(conn, MUSIC_TABLES() + "links.txt")
    paths = Fetch(conn, PHOTO_TABLES() + "Paths.txt")
    home = {ok: true, config: settings, musicLinks: [], photoFolders: []}
    if links.ok then home.musicLinks = TextLines(links.body)
    if paths.ok then home.photoFolders = TextLines(paths.body)
    home.items = HomeItems(ParseRokuTitles(roku.body), links.ok, paths.ok)
    return home
end function

' A folder, unless it is private and not opened with its PIN yet (then
' needPin names the folder).
function LoadFolder(conn as object, item as object, state as object) as object
    path = TargetPath(item.target, state.config)
    if path <> invalid and not MayOpen(path, state.config, state.unlocked) then return {ok: false, needPin: path}
    ans = Fetch(conn, item.target)
    if not ans.ok then return Failed(ans, item.title)
    listing = ParseListing(ans.body)
    ' A folder the server marks private whose PIN the settings do not give
    ' cannot be opened.
    if listing.isPrivate and (path = invalid or PrivateFolder(path, state.config) = invalid) then
        return {ok: false, message: item.title + " is private."}
    end if
    if listing.isPrivate and not MayOpen(path, state.config, state.unlocked) then return {ok: false, needPin: path}
    if item.target = "/Roku/Recent/" then return LoadRecent(conn, listing)
    items = FolderItems(listing, item.target)
    for each video in items
        if video.kind = "video" and video.poster = "" then
            info = Fetch(conn, video.target + "?info")
            if info.ok then DescribeVideo(video, ParseInfo(info.body))
        end if
    end for
    return {ok: true, items: items, newTitle: listing.newTitle}
end function

' The recent list: each entry names the file it stands for in its info text.
function LoadRecent(conn as object, listing as object) as object
    items = []
    for each e in listing.entries
        if KindOf(e.name) = "alias" then
            ans = Fetch(conn, "/Roku/Recent/" + e.href + "?info")
            if ans.ok then
                item = RecentItem(ParseInfo(ans.body), conn)
                if item <> invalid then items.Push(item)
            end if
        end if
    end for
    return {ok: true, items: items}
end function

' A table of the music or photo menu as group items.
function LoadTable(conn as object, item as object) as object
    ans = Fetch(conn, item.target)
    if not ans.ok then return Failed(ans, item.title)
    if Left(item.target, Len(PHOTO_TABLES())) = PHOTO_TABLES() then return {ok: true, items: PhotoGroupItems(ParsePhotoGroups(ans.body))}
    art = Fetch(conn, item.art)
    pictures = {}
    if art.ok then pictures = ParseArtTable(art.body)
    return {ok: true, items: MusicGroupItems(ParseMusicTable(ans.body), pictures), art: pictures}
end function

' The songs of a music group (album, artist, song, playlist, podcast), in
' the group's order.
function LoadGroup(conn as object, item as object, state as object) as object
    items = []
    for each id in item.ids
        ans = Fetch(conn, MUSIC_TABLES() + "Track-" + EncodePath(id) + ".txt")
        if ans.error <> "" then return Failed(ans, item.title)
        if ans.ok then
            song = TrackItem(ParseTrack(ans.body), state.musicLinks, state.art)
            if song <> invalid then items.Push(song)
        end if
    end for
    return {ok: true, items: items}
end function

' The photos of an event or album.
function LoadSlides(conn as object, item as object, state as object) as object
    index = Fetch(conn, PHOTO_TABLES() + "Index.txt")
    photos = Fetch(conn, PHOTO_TABLES() + "Photos.txt")
    if not index.ok then return Failed(index, item.title)
    if not photos.ok then return Failed(photos, item.title)
    return {ok: true, items: SlideItems(item.group, ParsePhotoIndex(index.body), PhotoLines(photos.body), state.photoFolders)}
end function

' Names holding term in every title's folders.
function LoadSearch(conn as object, term as string, titles as object, config as object) as object
    items = []
    for each t in titles
        if t.kind = "folder" and t.target <> "/Roku/Recent/" then
            ans = Fetch(conn, SearchTarget(t.target, term))
            if ans.error <> "" then return Failed(ans, "the search")
            if ans.ok then items.Append(SearchItems(ParseSearch(ans.body), config))
        end if
    end for
    return {ok: true, items: items}
end function

' The info text of a file.
function LoadInfo(conn as object, item as object) as object
    ans = Fetch(conn, item.target + "?info")
    if not ans.ok then return Failed(ans, item.title)
    info = ParseInfo(ans.body)
    return {ok: true, info: info, lines: DetailLines(info, item.title)}
end function

' Readies a video: the plan from its info text; for a live stream the HEAD
' whose redirect names the playlist.
function PrepareVideo(conn as object, item as object) as object
    info = invalid
    got = Fetch(conn, item.target + "?info")
    if got.ok then info = ParseInfo(got.body)
    plan = PlaybackPlan(item.target, info)
    plan.ok = true
    plan.url = ServerUrl(conn, item.target)
    if plan.mode = "transcode" then
        ans = ServerRequest(conn, "HEAD", plan.head)
        url = LiveStreamUrl(ans.location)
        if ans.status = 301 and url <> invalid then
            plan.url = url
        else if ans.error <> "" or ans.status <> 200 then
            return Failed(ans, item.title)
        else
            ' The server streams no live copy (its transcoding is off): the
            ' player tries the file itself.
            plan.mode = "direct"
            plan.format = Extension(DecodePath(item.target))
        end if
    end if
    plan.cookie = MediaCookie(conn)
    if item.subtitle <> invalid then plan.subtitle = ServerUrl(conn, item.subtitle)
    if info <> invalid and info["Duration"] <> invalid then plan.duration = ReadInt(info["Duration"], 0)
    return plan
end function

' Ends a live stream: a HEAD of the movie's name with ".kill".  The server
' closes the connection without an answer; nothing is retried.
sub StopStream(conn as object, plan as object)
    if plan.mode <> "transcode" or conn.seq < 0 then return
    conn.seq = conn.seq + 1
    Exchange(conn, RequestText(conn, "HEAD", plan.kill, MakeCookie(conn.own, conn.seq, CookiePad())))
    DropSocket(conn)
end sub

' The music of a slideshow: the settings' music file, or with random music
' on a random song of the library.
function SlideSong(conn as object, settings as object, state as object) as dynamic
    if settings.music <> "" or not settings.randomMusic then return SlideMusic(settings, [], PlayerPick)
    songs = Fetch(conn, MUSIC_TABLES() + "songs.txt")
    if not songs.ok then return invalid
    groups = ParseMusicTable(songs.body)
    if groups.Count() = 0 then return invalid
    group = SlideMusic(settings, groups, PlayerPick)
    track = Fetch(conn, MUSIC_TABLES() + "Track-" + EncodePath(group.ids[0]) + ".txt")
    if not track.ok then return invalid
    return TrackTarget(ParseTrack(track.body)["Location"], state.musicLinks)
end function

' Runs one job of a screen: ctx holds the connection and what the session
' keeps (the settings, the opened private folders, the library tables).
function DoJob(ctx as object, job as object) as object
    kind = job.kind
    if kind = "find" then return FindAndLoad(ctx, job)
    if ctx.conn = invalid then return {ok: false, needAddress: true, message: "No server yet."}
    if kind = "home" then return LoadHomeInto(ctx)
    if kind = "open" then return LoadFolder(ctx.conn, job.item, ctx.state)
    if kind = "table" then
        r = LoadTable(ctx.conn, job.item)
        if r.art <> invalid then ctx.state.art = r.art
        return r
    end if
    if kind = "group" then return LoadGroup(ctx.conn, job.item, ctx.state)
    if kind = "slides" or kind = "photos" then
        r = {ok: true, items: job.items}
        if kind = "slides" then r = LoadSlides(ctx.conn, job.item, ctx.state)
        if r.ok then
            r.settings = SlideSettings(ctx.state.config)
            song = SlideSong(ctx.conn, r.settings, ctx.state)
            if song <> invalid then r.music = ServerUrl(ctx.conn, song)
        end if
        return r
    end if
    if kind = "search" then return LoadSearch(ctx.conn, job.term, ctx.state.titles, ctx.state.config)
    if kind = "info" then return LoadInfo(ctx.conn, job.item)
    if kind = "video" then return PrepareVideo(ctx.conn, job.item)
    if kind = "stop" then
        StopStream(ctx.conn, job.plan)
        return {ok: true}
    end if
    if kind = "pin" then return {ok: EnterPin(job.path, job.pin, ctx.state.config, ctx.state.unlocked), message: "That PIN does not open this folder."}
    return {ok: false, message: "Unknown request."}
end function

function NewJobContext() as object
    return {conn: invalid, state: {config: {}, unlocked: {}, musicLinks: [], photoFolders: [], art: {}, titles: []}}
end function

function LoadHomeInto(ctx as object) as object
    home = LoadHome(ctx.conn)
    if home.ok then
        ctx.state.config = home.config
        ctx.state.musicLinks = home.musicLinks
        ctx.state.photoFolders = home.photoFolders
        ctx.state.titles = home.items
        home.server = ServerTextOf(ctx.conn)
        home.Delete("config")
    end if
    return home
end function

' Finds the server in the usual order and loads the home screen from it;
' asks for an address when no server can be found or reached.
function FindAndLoad(ctx as object, job as object) as object
    announced = invalid
    if job.typed = invalid and ParseServerAddress(job.launch) = invalid then announced = HearAnnouncement(ANNOUNCE_WAIT_MS())
    server = ChooseServer(job.launch, announced, SavedServer(), job.typed)
    if job.typed <> invalid then server = ParseServerAddress(job.typed)
    if server = invalid then return {ok: false, needAddress: true, message: "Velmora was not found on this network. Type the server's address and port (as the server shows them)."}
    own = OwnAddress(CreateObject("roDeviceInfo").GetIPAddrs(), server.host)
    ctx.conn = NewConnection(server.host, server.port, own)
    home = LoadHomeInto(ctx)
    if not home.ok then
        home.needAddress = true
        return home
    end if
    SaveServer(server)
    return home
end function
