' Small text helpers shared by the channel's logic: percent coding of
' targets, INI-style lines, and tolerant number reading.

' The target for a file-system path or a relative name: every byte that is
' not a letter, digit or one of - _ . ~ / : * is percent-coded.
function EncodePath(path as string) as string
    coded = path.EncodeUriComponent()
    coded = coded.Replace("%2F", "/").Replace("%3A", ":")
    return coded
end function

' The text of a percent-coded target.
function DecodePath(target as string) as string
    return target.DecodeUriComponent()
end function

' A local path as the server's target for it: drive paths get a leading
' slash (C:/Music becomes /C:/Music), absolute ones stay as they are.
function PathTarget(path as string) as string
    p = path.Replace("\", "/")
    if Left(p, 1) <> "/" then p = "/" + p
    return EncodePath(p)
end function

' The last component of a path or target, without a trailing slash.
function BaseName(path as string) as string
    p = path
    if Right(p, 1) = "/" then p = Left(p, Len(p) - 1)
    parts = p.Split("/")
    return parts[parts.Count() - 1]
end function

' The extension of a name in lower case, without its dot; "" when none.
function Extension(name as string) as string
    last = BaseName(name)
    dot = 0
    for i = Len(last) to 1 step -1
        if Mid(last, i, 1) = "." then
            dot = i
            exit for
        end if
    end for
    if dot = 0 then return ""
    return LCase(Mid(last, dot + 1))
end function

' A name without its extension.
function StemName(name as string) as string
    ext = Extension(name)
    if ext = "" then return name
    return Left(name, Len(name) - Len(ext) - 1)
end function

' The whole decimal number at the start of text (after blanks), or fallback.
function ReadInt(text as dynamic, fallback as integer) as integer
    if text = invalid then return fallback
    t = text.Trim()
    digits = ""
    for i = 1 to Len(t)
        c = Mid(t, i, 1)
        if (c >= "0" and c <= "9") or (i = 1 and c = "-") then
            digits = digits + c
        else
            exit for
        end if
    end for
    if digits = "" or digits = "-" then return fallback
    return digits.ToInt()
end function

' Lines of a text, with CR dropped and the empty last line left out.
function TextLines(text as string) as object
    lines = text.Replace(Chr(13), "").Split(Chr(10))
    if lines.Count() > 0 and lines[lines.Count() - 1] = "" then lines.Pop()
    return lines
end function

' True when a starts with b, letter case ignored.
function StartsNoCase(a as string, b as string) as boolean
    return LCase(Left(a, Len(b))) = LCase(b)
end function
