' The cookie sequence.  The first request goes without a cookie and the
' server answers with a redirect to "?N"; it then holds 1000000 - N as the
' last number used.  Every later request carries a 40-digit cookie: ten key
' bytes (the player's address, then the six decimal digits of the running
' number) exclusive-or ten pad bytes, followed by the pad bytes themselves.

function SEQUENCE_TOP() as integer
    return 1000000
end function
function KEY_BYTES() as integer
    return 10
end function

' The start number of a "?N" location, or -1 when it is none.
function StartNumber(location as dynamic) as integer
    if location = invalid or Left(location, 1) <> "?" then return -1
    return ReadInt(Mid(location, 2), -1)
end function

' The last number the server holds after the start number n.
function SequenceAfterStart(n as integer) as integer
    return SEQUENCE_TOP() - n
end function

' The cookie claiming address ("a.b.c.d") for sequence number seq, hidden
' by the ten pad bytes (0 to 255 each).
function MakeCookie(address as string, seq as integer, pad as object) as string
    key = []
    for each octet in address.Split(".")
        key.Push(ReadInt(octet, 0) and 255)
    end for
    n = seq mod SEQUENCE_TOP()
    digits = Right("000000" + n.ToStr(), 6)
    for i = 1 to 6
        key.Push(Mid(digits, i, 1).ToInt())
    end for
    first = ""
    second = ""
    for i = 0 to KEY_BYTES() - 1
        first = first + HexByte(ByteXor(key[i], pad[i]))
        second = second + LCase(HexByte(pad[i]))
    end for
    return first + second
end function

' Ten pad bytes from the player's random source.
function CookiePad() as object
    pad = []
    for i = 1 to KEY_BYTES()
        pad.Push(Rnd(256) - 1)
    end for
    return pad
end function

function ByteXor(a as integer, b as integer) as integer
    return (a or b) and not (a and b)
end function

function HexByte(v as integer) as string
    return Right("0" + UCase(StrI(v and 255, 16)), 2)
end function

' Which of the player's own addresses the server will see: the one on the
' server's network (same first three octets) when there is one, else the
' first.  addrs is roDeviceInfo's GetIPAddrs(): interface name to address.
function OwnAddress(addrs as object, serverHost as string) as string
    net = NetworkPart(serverHost)
    first = ""
    for each name in addrs
        a = addrs[name]
        if first = "" then first = a
        if NetworkPart(a) = net then return a
    end for
    return first
end function

function NetworkPart(address as string) as string
    parts = address.Split(".")
    if parts.Count() <> 4 then return ""
    return parts[0] + "." + parts[1] + "." + parts[2]
end function
