' Finding the server.  In order: the address the server gave when it
' launched the channel ("adrs=IP-PORT" among the launch parameters), the
' server's own announcement heard on the channel's UDP port, the last
' server used (kept in the registry), an address typed on the screen.

function ANNOUNCE_PORT() as integer
    return 11111
end function
function REGISTRY_SECTION() as string
    return "Velmora"
end function
function REGISTRY_SERVER() as string
    return "server"
end function
function ANNOUNCE_WAIT_MS() as integer
    return 4000
end function

' {host, port} of "IP-PORT" (the launch parameter) or "IP:PORT" (typed or
' saved), or invalid when the text is no dotted address with a port.
function ParseServerAddress(text as dynamic) as dynamic
    if text = invalid then return invalid
    t = text.Trim().Replace("-", ":").Replace(" ", ":")
    parts = t.Split(":")
    if parts.Count() <> 2 then return invalid
    octets = parts[0].Split(".")
    if octets.Count() <> 4 then return invalid
    for each o in octets
        v = ReadInt(o, -1)
        if v < 0 or v > 255 or v.ToStr() <> o then return invalid
    end for
    port = ReadInt(parts[1], 0)
    if port < 1 or port > 65535 or port.ToStr() <> parts[1] then return invalid
    return {host: parts[0], port: port}
end function

' The server announced in a datagram: a NOTIFY or search answer from a
' Velmora server whose location is its /Roku/ tree; invalid otherwise.
function ParseAnnouncement(datagram as string) as dynamic
    text = datagram.Replace(Chr(13), "")
    if not (Left(text, 6) = "NOTIFY" or Left(text, 15) = "HTTP/1.1 200 OK") then return invalid
    if LCase(text).InStr("server: velmora server") < 0 then return invalid
    for each line in text.Split(Chr(10))
        if StartsNoCase(line, "location:") then
            url = Mid(line, 10).Trim()
            if not StartsNoCase(url, "http://") then return invalid
            rest = Mid(url, 8)
            slash = rest.InStr("/")
            if slash < 0 or Mid(rest, slash + 1) <> "/Roku/" then return invalid
            return ParseServerAddress(Left(rest, slash))
        end if
    end for
    return invalid
end function

' The first usable server of the candidates, in the order given: the
' launch parameter, the announcement, the saved one, the typed one.
function ChooseServer(launch as dynamic, announced as dynamic, saved as dynamic, typed as dynamic) as dynamic
    for each candidate in [ParseServerAddress(launch), announced, ParseServerAddress(saved), ParseServerAddress(typed)]
        if candidate <> invalid then return candidate
    end for
    return invalid
end function

function ServerText(server as object) as string
    return server.host + ":" + server.port.ToStr()
end function

' The saved server, or invalid.
function SavedServer() as dynamic
    sec = CreateObject("roRegistrySection", REGISTRY_SECTION())
    if not sec.Exists(REGISTRY_SERVER()) then return invalid
    return sec.Read(REGISTRY_SERVER())
end function

sub SaveServer(server as object)
    sec = CreateObject("roRegistrySection", REGISTRY_SECTION())
    sec.Write(REGISTRY_SERVER(), ServerText(server))
    sec.Flush()
end sub

' Listens on the announcement port for up to waitMs; the server heard, or
' invalid.
function HearAnnouncement(waitMs as integer) as dynamic
    port = CreateObject("roMessagePort")
    addr = CreateObject("roSocketAddress")
    addr.SetPort(ANNOUNCE_PORT())
    udp = CreateObject("roDatagramSocket")
    udp.SetMessagePort(port)
    udp.SetAddress(addr)
    udp.NotifyReadable(true)
    heard = invalid
    clock = CreateObject("roTimespan")
    while heard = invalid and clock.TotalMilliseconds() < waitMs
        msg = port.WaitMessage(waitMs - clock.TotalMilliseconds())
        if msg = invalid then exit while
        heard = ParseAnnouncement(udp.ReceiveStr(4096))
    end while
    udp.Close()
    return heard
end function
