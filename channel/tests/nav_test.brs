' The navigation model on the recorded fixture: home, folders, search,
' Recent, private folders, music and photos.

function HomeContext() as object
    ctx = NewJobContext()
    ctx.conn = RecordedConnection()
    DoJob(ctx, {kind: "home"})
    return ctx
end function

' Titles and kinds of items, sorted: folders list in the server's order.
function Titles(items as object) as object
    out = []
    for each item in items
        out.Push(item.title + " " + item.kind)
    end for
    out.Sort()
    return out
end function

function Named(items as object, title as string) as object
    for each item in items
        if item.title = title then return item
    end for
    return {}
end function

sub TestHomeAndFolders()
    ctx = HomeContext()
    home = DoJob(ctx, {kind: "home"})
    Same(Titles(home.items), ["Kids folder", "Movies folder", "Music folder", "Music music", "Photos photos", "Recent folder", "Search search"], "the home screen")
    movies = DoJob(ctx, {kind: "open", item: Named(home.items, "Movies")})
    Same(Titles(movies.items), ["Extras/ folder", "Holiday.mp4 video", "Old Film.avi video"], "a folder: the picture and subtitles of a video are not listed on their own")
    holiday = Named(movies.items, "Holiday.mp4")
    Same([holiday.poster, holiday.subtitle], ["/Roku/Movies/Holiday.jpg", "/Roku/Movies/Holiday.srt"], "a video's poster and subtitles beside it")
    Same(Named(movies.items, "Extras/").target, "/Roku/Movies/Extras/", "a folder's target")
    Check(Named(movies.items, "Old Film.avi").description.InStr("Length: 00:01") >= 0, "a video without a picture: a line of its info text")
    found = DoJob(ctx, {kind: "search", term: "holi"})
    names = []
    for each item in found.items
        names.Push(item.title)
    end for
    names.Sort()
    Same(names, ["Holiday.jpg", "Holiday.mp4", "Holiday.srt"], "search looks through every title's folders")
    Check(Fetch(ctx.conn, Named(found.items, "Holiday.jpg").target).ok, "a search answer's target is served")
    recent = DoJob(ctx, {kind: "open", item: Named(home.items, "Recent")})
    Same(Titles(recent.items), ["Holiday.mp4 video"], "Recent names the video played")
    Check(recent.items[0].target = "/Roku/Movies/Holiday.mp4", "Recent plays through the title's folder")
end sub

sub TestPrivateFolders()
    ctx = HomeContext()
    kids = {title: "Kids", kind: "folder", target: "/Roku/Kids/"}
    shut = DoJob(ctx, {kind: "open", item: kids})
    Check(shut.ok = false and shut.needPin <> invalid, "a private folder asks for its PIN")
    Check(not DoJob(ctx, {kind: "pin", path: shut.needPin, pin: "1111"}).ok, "a wrong PIN does not open it")
    Check(DoJob(ctx, {kind: "pin", path: shut.needPin, pin: "2468"}).ok, "its PIN opens it")
    open = DoJob(ctx, {kind: "open", item: kids})
    Same(Titles(open.items), ["Cartoon.m4v video"], "and it lists")
    Check(MayOpen(shut.needPin + "/Sub/x.mp4", ctx.state.config, ctx.state.unlocked), "so does everything below it")
    ' The server marks the private folder in its listing: even a folder the
    ' settings do not name stays shut.
    ctx.state.config.Delete("paths")
    Check(DoJob(ctx, {kind: "open", item: kids}).ok = false, "a marked folder without a PIN in the settings stays shut")
end sub

sub TestMusic()
    ctx = HomeContext()
    albums = DoJob(ctx, {kind: "table", item: MusicMenu()[0]})
    Same(Titles(albums.items), ["Debut group"], "the albums")
    Check(albums.items[0].poster.Right(Len("/Music/Band/Folder.jpg")) = "/Music/Band/Folder.jpg", "an album's artwork")
    playlists = DoJob(ctx, {kind: "table", item: MusicMenu()[3]})
    songs = DoJob(ctx, {kind: "group", item: playlists.items[0]})
    Same([songs.items[0].title, songs.items[1].title], ["Second", "First"], "a playlist's songs in its order")
    Same(songs.items[1].target, "/iTunes%20Tables/link0/01%20First.mp3", "a song through its library folder")
    Check(Fetch(ctx.conn, songs.items[1].target).ok, "which the server serves")
    queue = MusicQueue(songs.items, 1)
    Same([queue[0].title, queue[1].title], ["First", "Second"], "the queue from the chosen song on, then those before it")
end sub

sub TestPhotos()
    ctx = HomeContext()
    wire = GetGlobalAA()
    events = DoJob(ctx, {kind: "table", item: PhotoMenu()[0]})
    Check(events.items.Count() > 0 and events.items[0].kind = "slides", "the photo events")
    shown = DoJob(ctx, {kind: "slides", item: events.items[0]})
    Check(shown.ok and shown.items.Count() > 0, "an event's photos")
    Check(shown.items[0].target.StartsWith(PathTarget(ctx.state.photoFolders[0]).Left(5)), "a photo's target from its folder number")
    Same(shown.settings, {music: wire.recorded.home + "/Music/Band/02 Second.mp3", overlay: 2, period: 4, randomMusic: false, shuffle: true}, "the slideshow settings")
    Check(shown.music.EndsWith(PathTarget(shown.settings.music)), "the slideshow's music file")
end sub
