' Readers of what the server sends: the /Roku/ titles, folder listings,
' Roku_Config.txt, the music and photo tables, the info text and search
' answers.  Each takes the text of an answer and returns plain data.

' The titles of the /Roku/ listing, in its order, and whether it offers
' the Recent folder.  Links are written "<a href="Title/">Title/</a><br>".
function ParseRokuTitles(html as string) as object
    out = {titles: [], recent: false}
    for each href in Hrefs(html, "<a href=" + Chr(34))
        if Right(href, 1) = "/" and href <> "./" and href <> "../" then
            name = Left(href, Len(href) - 1)
            if name = "Recent" then
                out.recent = true
            else
                out.titles.Push(name)
            end if
        end if
    end for
    return out
end function

' Every quoted link that follows marker in html, in order.
function Hrefs(html as string, marker as string) as object
    found = []
    at = html.InStr(marker)
    while at >= 0
        first = at + Len(marker)
        quote = html.InStr(first, Chr(34))
        if quote < 0 then exit while
        found.Push(Mid(html, first + 1, quote - first))
        at = html.InStr(quote, marker)
    end while
    return found
end function

' A folder listing: its entries (name as shown, href as sent, whether a
' folder), whether the folder is private (the listing links the settings
' file), and the notices of new titles or a new music library.  The
' parent link, "." and ".." are left out.
function ParseListing(html as string) as object
    out = {entries: [], isPrivate: false, newTitle: html.InStr("Roku-New-Title") >= 0, newMusic: html.InStr("Roku-New-iTunes") >= 0}
    marker = "<A HREF=" + Chr(34)
    at = html.InStr(marker)
    first = true
    while at >= 0
        hrefStart = at + Len(marker)
        hrefEnd = html.InStr(hrefStart, Chr(34))
        textEnd = html.InStr(hrefEnd, "</A>")
        if hrefEnd < 0 or textEnd < 0 then exit while
        href = Mid(html, hrefStart + 1, hrefEnd - hrefStart)
        name = Mid(html, hrefEnd + 3, textEnd - hrefEnd - 2)
        if href = "Roku_Config.txt" and name = "Roku_Config.txt" and not first then
            out.isPrivate = true
        else if not first and href <> "./" and href <> "../" then
            isDir = Right(href, 1) = "/"
            if isDir then name = Left(name, Len(name) - 1)
            out.entries.Push({name: name, href: href, isDir: isDir})
        end if
        first = false
        at = html.InStr(textEnd, marker)
    end while
    return out
end function

' Roku_Config.txt (the server's settings file): section name (lower case)
' to an ordered list of {key, value}; keys keep their case.
function ParseConfig(text as string) as object
    sections = {}
    current = invalid
    for each line in TextLines(text)
        t = line.Trim()
        if Left(t, 1) = "[" and Right(t, 1) = "]" then
            current = []
            sections[LCase(Mid(t, 2, Len(t) - 2))] = current
        else if current <> invalid and t.InStr("=") > 0 then
            eq = t.InStr("=")
            current.Push({key: Left(t, eq).Trim(), value: Mid(t, eq + 2).Trim()})
        end if
    end for
    return sections
end function

' The value of key (letter case ignored) in a section of ParseConfig's
' result, or fallback.
function ConfigValue(config as object, section as string, key as string, fallback as dynamic) as dynamic
    entries = config[LCase(section)]
    if entries = invalid then return fallback
    for each e in entries
        if LCase(e.key) = LCase(key) then return e.value
    end for
    return fallback
end function

' A music table ("name=id<TAB>id..." lines): groups with their track ids.
function ParseMusicTable(text as string) as object
    groups = []
    for each line in TextLines(text)
        eq = line.InStr(-1, "=")
        if eq > 0 then
            ids = Mid(line, eq + 2).Split(Chr(9))
            groups.Push({name: Left(line, eq), ids: ids})
        end if
    end for
    return groups
end function

' A track file ("key=value<TAB>" repeated): key to value.
function ParseTrack(text as string) as object
    track = {}
    for each pair in text.Split(Chr(9))
        eq = pair.InStr("=")
        if eq > 0 then track[Left(pair, eq)] = Mid(pair, eq + 2)
    end for
    return track
end function

' An artwork table ("name<TAB>path" lines): lower-case name to image path.
function ParseArtTable(text as string) as object
    art = {}
    for each line in TextLines(text)
        tabAt = line.InStr(Chr(9))
        if tabAt > 0 then art[Left(line, tabAt)] = Mid(line, tabAt + 2)
    end for
    return art
end function

' A line of the photo event or album tables: its fields, with Items as a
' list of photo numbers.
function ParsePhotoGroup(line as string) as object
    group = {Name: "", Comment: "", Thumb: 0, Photos: 0, Items: []}
    for each field in line.Split(Chr(9))
        colon = field.InStr(":")
        if colon > 0 then
            key = Left(field, colon)
            value = Mid(field, colon + 2)
            if key = "Items" then
                for each n in value.Split(",")
                    if n <> "" then group.Items.Push(ReadInt(n, 0))
                end for
            else if key = "Thumb" or key = "Photos" then
                group[key] = ReadInt(value, 0)
            else
                group[key] = value
            end if
        end if
    end for
    return group
end function

function ParsePhotoGroups(text as string) as object
    groups = []
    for each line in TextLines(text)
        groups.Push(ParsePhotoGroup(line))
    end for
    return groups
end function

' One line of the photo table: caption, comment, date, path, thumb, flag.
function ParsePhoto(line as string) as object
    photo = {}
    for each field in line.Split(Chr(9))
        colon = field.InStr(":")
        if colon > 0 then photo[Left(field, colon)] = Mid(field, colon + 2)
    end for
    return photo
end function

' The photo index: photo number to the position of its line in the photo
' table (byte offset plus one; 0 = no photo).
function ParsePhotoIndex(text as string) as object
    index = []
    for each n in text.Trim().Split(",")
        if n <> "" then index.Push(ReadInt(n, 0))
    end for
    return index
end function

' The info text ("key:value" lines): key to its last value, and under
' "all" every line in order (keys may repeat).
function ParseInfo(text as string) as object
    info = {all: []}
    for each line in TextLines(text)
        colon = line.InStr(":")
        if colon > 0 then
            key = Left(line, colon)
            value = Mid(line, colon + 2)
            info[key] = value
            info.all.Push({key: key, value: value})
        end if
    end for
    return info
end function

' A search answer: one full path per line.
function ParseSearch(text as string) as object
    found = []
    for each line in TextLines(text)
        if line <> "" then found.Push({name: BaseName(line), path: line})
    end for
    return found
end function
