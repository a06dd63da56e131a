' Requests to the server over a TCP socket of the player's own, so that the
' channel sees Velmora's answers byte for byte: LF-only header blocks with a
' Content-length, the bare "404 Not Found", the "HTTP/ 301" redirects (the
' start number and the live stream), and a refusal, which is a connection
' closed with no answer at all.  A URL client would follow the "?N"
' redirect into "/Roku/?N", which the server drops as a probe.

function ANSWER_WAIT_MS() as integer
    return 15000
end function

' A connection record for the server at host:port, claiming address own.
function NewConnection(host as string, port as integer, own as string) as object
    return {host: host, port: port, own: own, seq: -1, sock: invalid, port_: invalid, waitMs: ANSWER_WAIT_MS()}
end function

' Reads one answer's raw text: status (0 when there is none), the headers
' that matter, the body, and whether it is whole.  closed says that the
' server has closed the connection after these bytes.
function ParseAnswer(raw as string, closed as boolean) as object
    ans = {status: 0, location: invalid, length: -1, body: "", complete: closed, raw: raw, lastOne: false}
    lf = Chr(10)
    endHead = raw.InStr(lf + lf)
    if endHead < 0 then return ans
    head = Left(raw, endHead)
    ans.body = Mid(raw, endHead + 3)
    lines = head.Split(lf)
    words = lines[0].Split(" ")
    if Left(lines[0], 5) = "HTTP/" and words.Count() > 1 then
        ans.status = ReadInt(words[1], 0)
    else
        ans.status = ReadInt(words[0], 0)
    end if
    for i = 1 to lines.Count() - 1
        colon = lines[i].InStr(":")
        if colon > 0 then
            name = LCase(Left(lines[i], colon))
            value = Mid(lines[i], colon + 2).Trim()
            if name = "location" then ans.location = value
            if name = "content-length" then ans.length = ReadInt(value, -1)
            if name = "connection" and LCase(value) = "close" then ans.lastOne = true
        end if
    end for
    ' Bare answers carry no length: the server closes after them.
    if ans.length < 0 then
        ans.complete = true
    else if ByteLength(ans.body) >= ans.length then
        ans.complete = true
    end if
    return ans
end function

function ByteLength(text as string) as integer
    ba = CreateObject("roByteArray")
    ba.FromAsciiString(text)
    return ba.Count()
end function

' The request line and headers for one request with a cookie.
function RequestText(conn as object, method as string, target as string, cookie as string) as string
    crlf = Chr(13) + Chr(10)
    text = method + " " + target + " HTTP/1.1" + crlf + "Host: " + conn.host + ":" + conn.port.ToStr() + crlf
    text = text + "User-Agent: Roku/Velmora" + crlf
    if cookie <> "" then text = text + "Cookie: " + cookie + crlf
    return text + crlf
end function

' One request with the next number of the sequence.  Starts the sequence
' when there is none, starts it again when the server sends a new start
' number, and once more when the server closes the connection without an
' answer (a refusal, or a server that was restarted).  Returns the answer;
' its error is "" or one of "noanswer" (the server cannot be reached or
' keeps silent) and "refused".
function ServerRequest(conn as object, method as string, target as string) as object
    ans = {status: 0, error: "noanswer", body: "", location: invalid}
    for attempt = 1 to 3
        if conn.seq < 0 and not StartSequence(conn) then return {status: 0, error: "noanswer", body: ""}
        conn.seq = conn.seq + 1
        ans = Exchange(conn, RequestText(conn, method, target, MakeCookie(conn.own, conn.seq, CookiePad())))
        n = StartNumber(ans.location)
        if ans.status = 301 and n >= 0 then
            conn.seq = SequenceAfterStart(n)
            DropSocket(conn)
        else if ans.error = "closed" then
            conn.seq = -1
        else
            return ans
        end if
    end for
    if ans.error = "closed" then ans.error = "refused"
    return ans
end function

' Asks for a start number; false when the server gives none.
function StartSequence(conn as object) as boolean
    DropSocket(conn)
    ans = Exchange(conn, RequestText(conn, "GET", "/Roku/", ""))
    DropSocket(conn)
    n = StartNumber(ans.location)
    if ans.status <> 301 or n < 0 then return false
    conn.seq = SequenceAfterStart(n)
    return true
end function

' Sends text on the open connection (opening one when needed) and reads one
' answer.  error: "" when an answer came, "closed" when the connection
' closed before any, "noanswer" when nothing could be sent or the wait ran out.
function Exchange(conn as object, text as string) as object
    if conn.sock = invalid and not OpenSocket(conn) then return {status: 0, error: "noanswer", body: "", location: invalid}
    if conn.sock.SendStr(text) <> Len(text) then
        DropSocket(conn)
        if not OpenSocket(conn) or conn.sock.SendStr(text) <> Len(text) then
            return {status: 0, error: "noanswer", body: "", location: invalid}
        end if
    end if
    buf = CreateObject("roByteArray")
    closed = false
    ans = ParseAnswer("", false)
    while true
        msg = conn.port_.WaitMessage(conn.waitMs)
        if msg = invalid then
            DropSocket(conn)
            return {status: 0, error: "noanswer", body: "", location: invalid}
        end if
        count = conn.sock.GetCountRcvBuf()
        if count <= 0 then
            closed = true
        else
            chunk = CreateObject("roByteArray")
            chunk[count - 1] = 0
            got = conn.sock.Receive(chunk, 0, count)
            for i = 0 to got - 1
                buf.Push(chunk[i])
            end for
        end if
        ans = ParseAnswer(buf.ToAsciiString(), closed)
        if ans.complete then exit while
    end while
    ans.error = ""
    if ans.status = 0 then ans.error = "closed"
    if closed or ans.length < 0 or ans.lastOne then DropSocket(conn)
    return ans
end function

function OpenSocket(conn as object) as boolean
    addr = CreateObject("roSocketAddress")
    addr.SetAddress(conn.host + ":" + conn.port.ToStr())
    sock = CreateObject("roStreamSocket")
    port = CreateObject("roMessagePort")
    sock.SetMessagePort(port)
    sock.SetSendToAddress(addr)
    sock.NotifyReadable(true)
    if not sock.Connect() then return false
    conn.sock = sock
    conn.port_ = port
    return true
end function

sub DropSocket(conn as object)
    if conn.sock <> invalid then conn.sock.Close()
    conn.sock = invalid
end sub

' The cookie header value that media nodes (posters, video, audio) send:
' the last number used, which the server accepts again for media targets.
function MediaCookie(conn as object) as string
    if conn.seq < 0 then return ""
    return MakeCookie(conn.own, conn.seq, CookiePad())
end function

' The full URL of a target on the server.
function ServerUrl(conn as object, target as string) as string
    return "http://" + conn.host + ":" + conn.port.ToStr() + target
end function

' "host:port" of a connection.
function ServerTextOf(conn as object) as string
    return conn.host + ":" + conn.port.ToStr()
end function
