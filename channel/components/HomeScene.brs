' The scene's screens: a stack of lists shown in the poster grid.  Every
' request to the server goes to the network task as a job; its result
' moves the screens on.  Back always leads out of what is showing.

function RESUME_SECTION() as string
    return "VelmoraResume"
end function

sub init()
    m.grid = m.top.findNode("grid")
    m.heading = m.top.findNode("heading")
    m.status = m.top.findNode("status")
    m.details = m.top.findNode("details")
    m.detailText = m.top.findNode("detailText")
    m.detailPoster = m.top.findNode("detailPoster")
    m.video = m.top.findNode("video")
    m.audio = m.top.findNode("audio")
    m.slides = m.top.findNode("slides")
    m.net = m.top.findNode("net")
    m.stack = []
    m.jobCount = 0
    m.pending = invalid
    m.plan = invalid
    m.cookie = ""
    m.server = ""
    m.grid.observeField("itemSelected", "OnSelect")
    m.net.observeField("result", "OnResult")
    m.net.observeField("cookie", "OnCookie")
    m.video.observeField("state", "OnVideoState")
    m.net.control = "RUN"
    m.grid.setFocus(true)
    Find(invalid)
end sub

sub Find(typed as dynamic)
    launch = invalid
    if m.global.hasField("adrs") then launch = m.global.adrs
    if typed <> invalid then launch = invalid
    m.status.text = "Looking for Velmora..."
    StartJob({kind: "find", launch: launch, typed: typed})
end sub

sub StartJob(job as object)
    m.jobCount = m.jobCount + 1
    job.id = m.jobCount
    m.pending = job
    if m.status.text = "" then m.status.text = "Loading..."
    m.net.job = job
end sub

sub OnCookie()
    m.cookie = m.net.cookie
    headers = {Cookie: m.cookie}
    m.grid.GetHttpAgent().SetHeaders(headers)
    m.detailPoster.GetHttpAgent().SetHeaders(headers)
    m.slides.cookie = m.cookie
end sub

sub OnResult()
    r = m.net.result
    job = m.pending
    if job = invalid or r.id <> job.id then return
    m.pending = invalid
    m.status.text = ""
    if r.needAddress <> invalid and r.needAddress then
        AskText("Server address", r.message, "address")
    else if r.needPin <> invalid then
        m.pinFor = {path: r.needPin, item: job.item}
        AskPin(job.item.title)
    else if not r.ok then
        ShowError(r.message)
    else if job.kind = "find" or job.kind = "home" then
        m.server = r.server
        m.stack = []
        Push("Velmora  " + r.server, r.items)
    else if job.kind = "pin" then
        StartJob({kind: "open", item: m.pinFor.item})
    else if job.kind = "info" then
        ShowDetails(r.lines, job.item.poster)
    else if job.kind = "video" then
        PlayVideo(job.item, r)
    else if job.kind = "slides" or job.kind = "photos" then
        StartSlides(r)
    else if r.items.Count() = 0 then
        ShowError("Nothing here.")
    else
        Push(job.item.title, r.items)
    end if
end sub

' Shows a list on top of the stack.
sub Push(title as string, items as object)
    m.stack.Push({title: title, items: items})
    ShowTop(0)
end sub

sub ShowTop(focus as integer)
    top = m.stack.Peek()
    content = CreateObject("roSGNode", "ContentNode")
    for each item in top.items
        node = content.createChild("ContentNode")
        node.SHORTDESCRIPTIONLINE1 = item.title
        if item.description <> invalid then node.SHORTDESCRIPTIONLINE2 = item.description
        poster = "pkg:/images/item.png"
        if item.kind = "folder" or item.kind = "music" or item.kind = "photos" or item.kind = "table" or item.kind = "group" or item.kind = "slides" or item.kind = "search" then poster = "pkg:/images/folder.png"
        if item.poster <> invalid and item.poster <> "" then poster = ServerUrlOf(item.poster)
        node.HDGRIDPOSTERURL = poster
        node.SDGRIDPOSTERURL = poster
    end for
    m.grid.content = content
    m.grid.jumpToItem = focus
    titles = []
    for each s in m.stack
        titles.Push(s.title)
    end for
    m.heading.text = titles.Join("  >  ")
    m.grid.setFocus(true)
end sub

' A poster given as a target goes to the server; full URLs stay.
function ServerUrlOf(target as string) as string
    if StartsNoCase(target, "http://") then return target
    return "http://" + m.server + target
end function

sub OnSelect()
    top = m.stack.Peek()
    index = m.grid.itemSelected
    item = top.items[index]
    kind = item.kind
    if kind = "folder" then
        StartJob({kind: "open", item: item})
    else if kind = "music" then
        Push("Music", MusicMenu())
    else if kind = "photos" then
        Push("Photos", PhotoMenu())
    else if kind = "table" then
        StartJob({kind: "table", item: item})
    else if kind = "group" then
        StartJob({kind: "group", item: item})
    else if kind = "slides" then
        StartJob({kind: "slides", item: item})
    else if kind = "search" then
        AskText("Search", "Part of a name to look for:", "search")
    else if kind = "video" then
        StartJob({kind: "video", item: item})
    else if kind = "audio" then
        PlayMusic(MusicQueue(top.items, index))
    else if kind = "photo" then
        photos = []
        for each p in top.items
            if p.kind = "photo" then photos.Push(p)
        end for
        StartJob({kind: "photos", item: item, items: photos})
    else
        ShowError("Velmora cannot play " + item.title + " on this player.")
    end if
end sub

sub PlayVideo(item as object, plan as object)
    content = CreateObject("roSGNode", "ContentNode")
    content.url = plan.url
    content.title = item.title
    content.streamFormat = plan.format
    content.HttpHeaders = ["Cookie:" + plan.cookie]
    if plan.subtitle <> invalid then
        content.SubtitleTracks = [{Language: "und", TrackName: plan.subtitle, Description: "Subtitles"}]
    end if
    duration = 0
    if plan.duration <> invalid then duration = plan.duration
    sec = CreateObject("roRegistrySection", RESUME_SECTION())
    saved = 0
    if sec.Exists(item.target) then saved = ReadInt(sec.Read(item.target), 0)
    content.PlayStart = ResumeStart(saved, duration)
    m.plan = plan
    m.playing = item
    m.video.content = content
    m.video.visible = true
    m.video.setFocus(true)
    m.video.control = "play"
end sub

sub OnVideoState()
    state = m.video.state
    if state = "error" then
        CloseVideo(true)
        ShowError("The player could not play this video. " + m.video.errorMsg)
    else if state = "finished" then
        CloseVideo(false)
    end if
end sub

' Stops the video, keeps the resume point (none after the end), and ends
' the server's live stream.
sub CloseVideo(keep as boolean)
    if m.plan = invalid then return
    sec = CreateObject("roRegistrySection", RESUME_SECTION())
    if keep then
        sec.Write(m.playing.target, Int(m.video.position).ToStr())
    else
        sec.Delete(m.playing.target)
    end if
    sec.Flush()
    m.video.control = "stop"
    m.video.visible = false
    StartJob({kind: "stop", plan: m.plan})
    m.plan = invalid
    m.grid.setFocus(true)
end sub

sub PlayMusic(queue as object)
    playlist = CreateObject("roSGNode", "ContentNode")
    for each song in queue
        node = playlist.createChild("ContentNode")
        node.url = ServerUrlOf(song.target)
        node.title = song.title
        node.HttpHeaders = ["Cookie:" + m.cookie]
    end for
    m.audio.content = playlist
    m.audio.contentIsPlaylist = true
    m.audio.control = "play"
    m.status.text = "Playing " + queue[0].title + "  (" + queue.Count().ToStr() + " in the queue; Back stops)"
end sub

sub StartSlides(r as object)
    photos = []
    for each p in r.items
        photos.Push({url: ServerUrlOf(p.target), title: p.title})
    end for
    if photos.Count() = 0 then
        ShowError("No photos here.")
        return
    end if
    m.slides.photos = photos
    m.slides.settings = r.settings
    m.slides.music = ""
    if r.music <> invalid then m.slides.music = r.music
    m.slides.visible = true
    m.slides.running = true
    m.slides.setFocus(true)
end sub

sub ShowDetails(lines as object, poster as dynamic)
    m.detailText.text = lines.Join(Chr(10))
    m.detailPoster.uri = ""
    if poster <> invalid and poster <> "" then m.detailPoster.uri = ServerUrlOf(poster)
    m.details.visible = true
    m.details.setFocus(true)
end sub

sub ShowError(message as string)
    dialog = CreateObject("roSGNode", "Dialog")
    dialog.title = "Velmora"
    dialog.message = message
    dialog.buttons = ["Back"]
    dialog.observeField("buttonSelected", "CloseDialog")
    m.top.dialog = dialog
end sub

sub CloseDialog()
    m.top.dialog.close = true
    m.grid.setFocus(true)
end sub

sub AskPin(title as string)
    dialog = CreateObject("roSGNode", "PinDialog")
    dialog.title = title + " is private"
    dialog.message = "Enter its PIN"
    dialog.buttons = ["OK", "Back"]
    dialog.observeField("buttonSelected", "OnPin")
    m.top.dialog = dialog
end sub

sub OnPin()
    dialog = m.top.dialog
    dialog.close = true
    if dialog.buttonSelected = 0 then StartJob({kind: "pin", path: m.pinFor.path, pin: dialog.pin, item: m.pinFor.item})
end sub

sub AskText(title as string, message as string, purpose as string)
    dialog = CreateObject("roSGNode", "KeyboardDialog")
    dialog.title = title
    dialog.message = message
    dialog.buttons = ["OK", "Back"]
    dialog.observeField("buttonSelected", "OnText")
    m.textFor = purpose
    m.top.dialog = dialog
end sub

sub OnText()
    dialog = m.top.dialog
    dialog.close = true
    if dialog.buttonSelected <> 0 then return
    if m.textFor = "address" then
        Find(dialog.text)
    else if dialog.text <> "" then
        StartJob({kind: "search", term: dialog.text, item: {title: "Search: " + dialog.text}})
    end if
end sub

function onKeyEvent(key as string, press as boolean) as boolean
    if not press then return false
    if key = "back" then
        if m.video.visible then
            CloseVideo(true)
        else if m.slides.visible then
            m.slides.running = false
            m.slides.visible = false
            m.grid.setFocus(true)
        else if m.details.visible then
            m.details.visible = false
            m.grid.setFocus(true)
        else if m.audio.state = "playing" then
            m.audio.control = "stop"
            m.status.text = ""
        else if m.stack.Count() > 1 then
            m.stack.Pop()
            ShowTop(0)
        else
            return false
        end if
        return true
    end if
    if key = "options" and m.grid.hasFocus() and m.stack.Count() > 0 then
        item = m.stack.Peek().items[m.grid.itemFocused]
        if item.kind = "video" or item.kind = "audio" or item.kind = "photo" then StartJob({kind: "info", item: item})
        return true
    end if
    return false
end function
