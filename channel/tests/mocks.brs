' The player's objects as the tests need them.  The socket answers each
' request with what the real server answered to it (tests/recorded.json,
' written by run.js); a test may queue other answers ("start", "closed",
' "silent") for the next requests.  Sent requests are kept in order.

sub InstallMocks()
    wire = GetGlobalAA()
    wire.recorded = ParseJson(ReadAsciiFile("pkg:/tests/recorded.json"))
    wire.sent = []
    wire.queue = []
    wire.pending = ""
    wire.silent = false
    wire.registry = {}
    wire.clock = 0
    _brs_.mockComponent("roSocketAddress", {SetAddress: sub(a) : m.address = a : end sub, SetPort: sub(p) : m.port = p : end sub})
    _brs_.mockComponent("roMessagePort", {WaitMessage: function(ms) : if GetGlobalAA().silent then return invalid
            return {} : end function})
    _brs_.mockComponent("roStreamSocket", {
        SetMessagePort: sub(p) : end sub, SetSendToAddress: sub(a) : end sub, NotifyReadable: sub(on) : end sub,
        Connect: function() : return true : end function, Close: sub() : end sub,
        SendStr: function(text) : return MockSend(text) : end function,
        GetCountRcvBuf: function() : return Len(GetGlobalAA().pending) : end function,
        Receive: function(ba, at, n) : return MockReceive(ba, at, n) : end function
    })
    _brs_.mockComponent("roRegistrySection", {
        Exists: function(k) : return GetGlobalAA().registry.DoesExist(k) : end function,
        Read: function(k) : return GetGlobalAA().registry[k] : end function,
        Write: sub(k, v) : GetGlobalAA().registry[k] = v : end sub, Flush: sub() : end sub
    })
    _brs_.mockComponent("roDatagramSocket", {SetMessagePort: sub(p) : end sub, SetAddress: sub(a) : end sub,
        NotifyReadable: sub(on) : end sub, Close: sub() : end sub,
        ReceiveStr: function(n) : return GetGlobalAA().datagram : end function})
    _brs_.mockComponent("roTimespan", {TotalMilliseconds: function() : GetGlobalAA().clock = GetGlobalAA().clock + 1000
            return GetGlobalAA().clock : end function})
    _brs_.mockComponent("roDeviceInfo", {GetIPAddrs: function() : return {eth0: "127.0.0.1"} : end function})
end sub

function MockSend(text as string) as integer
    wire = GetGlobalAA()
    wire.sent.Push(text)
    key = text.Split(" HTTP/")[0]
    if text.InStr("Cookie: ") < 0 then key = "start"
    if wire.queue.Count() > 0 then key = wire.queue.Shift()
    if key = "closed" then
        wire.pending = ""
    else if key = "silent" then
        wire.silent = true
    else if wire.recorded.answers.DoesExist(key) then
        wire.pending = wire.recorded.answers[key]
    else
        print "not ok - nothing recorded for "; key
        wire.pending = ""
    end if
    return Len(text)
end function

function MockReceive(ba as object, at as integer, n as integer) as integer
    wire = GetGlobalAA()
    for i = 1 to n
        ba[at + i - 1] = Asc(Mid(wire.pending, i, 1))
    end for
    wire.pending = Mid(wire.pending, n + 1)
    return n
end function

' A connection to the recorded server, its sequence started.
function RecordedConnection() as object
    wire = GetGlobalAA()
    wire.sent = []
    wire.queue = []
    wire.silent = false
    conn = NewConnection("127.0.0.1", wire.recorded.port, "127.0.0.1")
    return conn
end function

' The sequence number in a sent request's cookie (-1 when none): the
' first half's bytes exclusive-or the second half's, digits 4 to 9.
function SentNumber(request as string) as integer
    at = request.InStr("Cookie: ")
    if at < 0 then return -1
    c = Mid(request, at + 9, 40)
    n = 0
    for k = 4 to 9
        a = Val(Mid(c, 2 * k + 1, 2), 16)
        b = Val(Mid(c, 21 + 2 * k, 2), 16)
        n = n * 10 + ByteXor(a, b)
    end for
    return n
end function

function Check(ok as boolean, what as string) as boolean
    wire = GetGlobalAA()
    wire.checks = wire.checks + 1
    if ok then
        print "ok - "; what
    else
        print "not ok - "; what
    end if
    return ok
end function

function Same(got as dynamic, want as dynamic, what as string) as boolean
    if not Check(FormatJson(got) = FormatJson(want), what) then print "#   got  "; FormatJson(got); Chr(10); "#   want "; FormatJson(want)
    return FormatJson(got) = FormatJson(want)
end function
