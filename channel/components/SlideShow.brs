sub init()
    m.photo = m.top.findNode("photo")
    m.caption = m.top.findNode("caption")
    m.timer = m.top.findNode("timer")
    m.overlay = m.top.findNode("overlay")
    m.song = m.top.findNode("song")
    m.timer.observeField("fire", "NextPhoto")
    m.overlay.observeField("fire", "ShowCaption")
end sub

sub OnCookie()
    headers = {Cookie: m.top.cookie}
    m.photo.GetHttpAgent().SetHeaders(headers)
end sub

sub OnRunning()
    if not m.top.running then
        m.timer.control = "stop"
        m.overlay.control = "stop"
        m.song.control = "stop"
        return
    end if
    s = m.top.settings
    m.order = SlideOrder(m.top.photos.Count(), s, PlayerPick)
    m.at = -1
    m.timer.duration = s.period
    if m.top.music <> "" then
        song = CreateObject("roSGNode", "ContentNode")
        song.url = m.top.music
        song.HttpHeaders = ["Cookie:" + m.top.cookie]
        m.song.content = song
        m.song.loop = true
        m.song.control = "play"
    end if
    NextPhoto()
    m.timer.control = "start"
end sub

sub NextPhoto()
    if m.order.Count() = 0 then return
    m.at = (m.at + 1) mod m.order.Count()
    photo = m.top.photos[m.order[m.at]]
    m.photo.uri = photo.url
    m.caption.text = photo.title
    m.caption.visible = false
    s = m.top.settings
    if s.overlay > 0 and photo.title <> "" then
        m.overlay.duration = s.overlay
        m.overlay.control = "start"
    end if
end sub

sub ShowCaption()
    m.caption.visible = true
end sub
