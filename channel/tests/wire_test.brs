' The cookie sequence and the error paths, against the recorded answers.

sub TestSequence()
    wire = GetGlobalAA()
    start = StartNumber("?" + wire.recorded.answers.start.Split("Location: ?")[1].Split(Chr(10))[0])
    first = SequenceAfterStart(start) + 1
    conn = RecordedConnection()
    ans = ServerRequest(conn, "GET", "/Roku/")
    Check(ans.status = 200 and SentNumber(wire.sent[0]) = -1 and SentNumber(wire.sent[1]) = first, "the first request asks for the start number, the next carries it plus one")
    Fetch(conn, "/Roku/Roku_Config.txt")
    Same(SentNumber(wire.sent[2]), first + 1, "each request takes the next number")
    Same(Len(wire.sent[2].Split("Cookie: ")[1].Split(Chr(13))[0]), 40, "the cookie has 40 digits")

    ' A new start number in answer to a request (the server was restarted):
    ' the request goes again with the new sequence.
    wire.sent = []
    wire.queue = ["start"]
    ans = Fetch(conn, "/Roku/Movies/")
    Check(ans.ok and wire.sent.Count() = 2 and SentNumber(wire.sent[1]) = first, "a 301 to ?N starts the sequence again and repeats the request")

    ' A request closed without an answer: a new start, then the request again.
    wire.sent = []
    wire.queue = ["closed"]
    ans = Fetch(conn, "/Roku/Movies/")
    Check(ans.ok and SentNumber(wire.sent[1]) = -1 and SentNumber(wire.sent[2]) = first, "a refusal starts the sequence again")
    Same(SentNumber(RequestText(conn, "GET", "/x.jpg", MediaCookie(conn))), conn.seq, "posters and players repeat the last number")
end sub

sub TestErrors()
    wire = GetGlobalAA()
    conn = RecordedConnection()
    missing = Fetch(conn, "/Roku/Movies/Missing.mp4")
    Same([missing.status, ErrorMessage(missing, "Missing.mp4")], [404, "Missing.mp4 is not on the server any more."], "a missing file")
    wire.queue = ["closed", "start", "closed", "start", "closed"]
    refused = Fetch(conn, "/Roku/")
    Same([refused.error, wire.queue.Count()], ["refused", 0], "refused again after two new starts: given up")
    wire.queue = ["silent"]
    home = LoadHome(conn)
    wire.silent = false
    Same(home, {ok: false, message: "The server does not answer. Check that Velmora is running, then try again."}, "a server that keeps silent")
    conn = RecordedConnection()
    wire.queue = ["closed"]
    Check(LoadHome(conn).ok = false and wire.sent.Count() = 1, "a server that gives no start number is given up")
end sub

sub TestFinding()
    wire = GetGlobalAA()
    Same(ParseServerAddress("192.168.1.10-8080"), {host: "192.168.1.10", port: 8080}, "the launch parameter")
    Same([ParseServerAddress("192.168.1.300-80"), ParseServerAddress("192.168.1.10"), ParseServerAddress("1.2.3.4:08")], [invalid, invalid, invalid], "addresses that are none")
    crlf = Chr(13) + Chr(10)
    notify = "NOTIFY * HTTP/1.1" + crlf + "Host: 239.255.255.250:1900" + crlf + "NT: upnp:rootdevice" + crlf + "NTS: ssdp:alive" + crlf
    notify = notify + "SERVER: Velmora Server 2.0.14.0" + crlf + "Location: http://127.0.0.1:" + wire.recorded.port.ToStr() + "/Roku/" + crlf + crlf + "DLNA LOCATIONS:" + crlf + crlf
    heard = ParseAnnouncement(notify)
    Same(heard, {host: "127.0.0.1", port: wire.recorded.port}, "the server's announcement")
    Same(ParseAnnouncement(notify.Replace("Velmora Server", "Other Server")), invalid, "another device's announcement")
    Same(ChooseServer(invalid, heard, "10.0.0.1:80", invalid), heard, "the announcement before the saved server")
    Same(ChooseServer("10.0.0.2-81", heard, invalid, invalid), {host: "10.0.0.2", port: 81}, "the launch parameter first")

    ' Nothing given at launch: the announcement is heard, the home screen
    ' loaded, and the server kept for the next time.
    wire.datagram = notify
    ctx = NewJobContext()
    home = DoJob(ctx, {kind: "find", launch: invalid, typed: invalid})
    Same([home.ok, wire.registry.server], [true, "127.0.0.1:" + wire.recorded.port.ToStr()], "found by its announcement and saved")
    wire.datagram = ""
    wire.registry.server = "127.0.0.1:1"
    wire.queue = ["silent"]
    home = DoJob(NewJobContext(), {kind: "find", launch: invalid, typed: invalid})
    wire.silent = false
    Check(home.needAddress = true, "a saved server that does not answer: the address is asked for")
    Same(OwnAddress({eth0: "10.1.1.5", wlan0: "192.168.1.20"}, "192.168.1.10"), "192.168.1.20", "the player's address on the server's network")
end sub
