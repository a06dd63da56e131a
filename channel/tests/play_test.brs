' Playing: direct or live stream, the stream's end, resume points and the
' slideshow's order.

function Picks(values as object) as function
    GetGlobalAA().picks = values
    return NextPick
end function

function NextPick(n as integer) as integer
    return GetGlobalAA().picks.Shift()
end function

sub TestPlayback()
    ctx = HomeContext()
    wire = GetGlobalAA()
    movies = DoJob(ctx, {kind: "open", item: {title: "Movies", target: "/Roku/Movies/"}}).items
    direct = DoJob(ctx, {kind: "video", item: Named(movies, "Holiday.mp4")})
    Same([direct.mode, direct.format, direct.url, direct.subtitle], ["direct", "mp4", ServerUrl(ctx.conn, "/Roku/Movies/Holiday.mp4"), ServerUrl(ctx.conn, "/Roku/Movies/Holiday.srt")], "an H.264 MP4 plays directly, with its subtitles")
    Same(SentNumber("Cookie: " + direct.cookie), ctx.conn.seq, "the player sends the last number")
    live = DoJob(ctx, {kind: "video", item: Named(movies, "Old Film.avi")})
    Same([live.mode, live.format, live.url.EndsWith("/My%20Roku/Live%20Stream/stream1-Main.m3u8")], ["transcode", "hls", true], "an AVI: a HEAD, then the live stream's playlist")
    wire.sent = []
    DoJob(ctx, {kind: "stop", plan: live})
    Same(wire.sent[0].Split(Chr(13))[0], "HEAD /Roku/Movies/Old%20Film.avi.kill HTTP/1.1", "stopping ends the live stream")
    Same(PlaybackPlan("/a/b.mp4", ParseInfo("Vcodec:mp4v" + Chr(10))).mode, "transcode", "an MP4 the player cannot decode goes live")
    Same([ResumeStart(5, 600), ResumeStart(300, 600), ResumeStart(590, 600), ResumeStart(300, 0)], [0, 300, 0, 300], "resume points")

    shuffled = {shuffle: true}
    Same(SlideOrder(4, shuffled, Picks([1, 1, 1])), [1, 2, 3, 0], "a shuffled slideshow")
    Same(SlideOrder(3, {shuffle: false}, Picks([])), [0, 1, 2], "a slideshow in listed order")
    Same(SlideSettings(ParseConfig("[SlideShow]" + Chr(10) + "SS_period=0" + Chr(10))), {music: "", overlay: 0, period: 6, randomMusic: false, shuffle: false}, "slideshow defaults")
end sub
