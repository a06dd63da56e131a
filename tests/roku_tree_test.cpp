/* The /Roku/ tree: listings, target mapping, Recent, Roku_Config.txt, patterns, search. */
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "global.h"
#include "config/config.h"
#include "helpers.h"
#include "http/client.h"
#include "http/listing.h"
#include "roku/match.h"
#include "roku/roku.h"
#include "subs/text.h"

namespace fs = std::filesystem;
using Lines = std::multiset<std::string>;

namespace {

/* Empties the tables the tree reads. */
void clear_tables(void)
{
    links.edit(Clear_Links), paths.edit(Clear_Links);
    for (char *&p : plinks) free(p), p = nullptr;
    memset(recent, 0, sizeof recent);
    New_Title = New_iTunes = 0;
}

void set_link(int i, const std::string &title, const std::string &folder)
{
    links.edit([&](LINK *t) { free(t[i].link), free(t[i].path), t[i] = LINK{strdup(title.c_str()), strdup(folder.c_str())}; });
}

/* The whole stream; closes it.  "null" for none. */
std::string drain(FILE *f)
{
    std::string s = f ? stream_text(f) : "null";
    if (f) fclose(f);
    return s;
}

/* The pieces of text that each end in sep; what follows the last stays in text. */
Lines split(std::string &text, const std::string &sep)
{
    Lines got;
    for (size_t pos; (pos = text.find(sep)) != std::string::npos; text.erase(0, pos + sep.size()))
        got.insert(text.substr(0, pos + sep.size()));
    return got;
}

/* A data folder of its own with the trace on, and empty tables. */
class RokuTree : public ::testing::Test {
protected:
    std::string dir;
    char out[MAX_PATH_TXT];
    int rc = 0;
    void SetUp() override { dir = trace_to_temp(), clear_tables(); }
    void TearDown() override { clear_tables(), trace_off(), fs::remove_all(dir); }

    /* The /Roku/ tree's answer to target: what was sent; the result in rc,
    ** the path in out. */
    std::string roku(const std::string &target)
    {
        std::vector<char> item(MAX_PATH_TXT, 0);
        scopy(item.data(), item.size(), target.c_str());
        memset(out, 'x', sizeof out - 1), out[sizeof out - 1] = 0;
        return sent_by([&](int s) { rc = Serve_Roku(s, item.data(), out, 0); });
    }
    /* The body of an answer sent here; the send's result counts it all. */
    std::string page(const std::string &target)
    {
        std::string got = roku(target);
        EXPECT_EQ(rc, (int)got.size()) << target;
        return got.substr(got.find("\n\n") + 2);
    }
    /* The path a target maps to; a mapping sends nothing. */
    std::string maps_to(const std::string &target)
    {
        std::string sent = roku(target);
        EXPECT_EQ(sent + std::to_string(rc), "0") << target;
        return out;
    }
};

/* One entry of a listing, from the file's own status. */
std::string entry(const std::string &folder, const std::string &name, const std::string &href, const char *type)
{
    struct stat st;
    stat((folder + "/" + name).c_str(), &st);
    struct tm tm;
    localtime_r(&st.st_mtime, &tm);
    char date[64], text[128];
    strftime(date, sizeof date, "%a %b %e %H:%M:%S %Y", &tm);   /* the C locale's English names */
    snprintf(text, sizeof text, "%8lld  %s  ", (long long)st.st_size, date);
    std::string slash = S_ISDIR(st.st_mode) ? "/" : "";
    return "<A HREF=\"" + href + slash + "\">" + name + slash + "</A>\t\t" + text + type + "<BR>";
}

}  // namespace

TEST_F(RokuTree, ListingPagesByteForByte)
{
    auto html = [](const std::string &target, const std::string &rows) {
        return "<html><head>\n<title>Index of " + target + "</title>\n</head><body>\n" + rows + "</body></html>\n";
    };
    EXPECT_EQ(page("/"), html("/", "<a href=\"Roku/\">Roku/</a><br>\n"));

    /* Links in order, not encoded, all in one page; Recent/ only when used. */
    std::string dots = "<a href=\".\">.</a><br>\n<a href=\"..\">..</a><br>\n", titles;
    for (int i = 0; i < MAX_LINKS; i++) {
        std::string title = i ? std::to_string(i) + std::string(90, 'x') : "Fotos & Co";
        set_link(i, title, "/m/" + title);
        titles += "<a href=\"" + title + "/\">" + title + "/</a><br>\n";
    }
    titles += "<a href=\"Roku_Config.txt\">Roku_Config.txt</a><br>\n";
    EXPECT_EQ(page("/Roku/"), html("/Roku/", dots + titles));
    scopy(recent[0], RECENT_TXT, "/m/Movies/a.mp4");
    EXPECT_EQ(page("/Roku/"), html("/Roku/", dots + "<a href=\"Recent/\">Recent/</a><br>\n" + titles));
}

TEST_F(RokuTree, TargetsMapToPaths)
{
    set_link(0, "Movies", "/m/Movies");
    set_link(1, "Music", "D:/Media/Music");
    set_link(2, "Long", std::string(MAX_PATH_TXT - 10, 'd'));
    set_link(3, std::string(900, 't'), "/t");
    plinks[3] = strdup("E:/Music%20Lib/");
    plinks[4] = strdup("home/me/Music/Caf%e9/");   /* a Linux library's folder */
    /* "$" stands for the data folder; "$+" for it followed by the target. */
    std::pair<std::string, std::string> cases[] = {
        /* Title links by exact name; anything else below /Roku/ is the data folder. */
        {"/Roku/Music/Album/x.mp3", "D:/Media/Music/Album/x.mp3"}, {"/Roku/Music", "D:/Media/Music"},
        {"/Roku/music/", "$/music/"}, {"/Roku/Musi/", "$/Musi/"}, {"/Roku", "$"}, {"/Roku%2F", "$/"},
        {"/Roku/Music%20Box/a%20b.mp3", "$/Music Box/a b.mp3"}, {"/Rokuxyz", "/Rokuxyz"},
        /* Drive paths lose their leading "/"; everything is decoded. */
        {"/C:/Music/a.mp3", "C:/Music/a.mp3"}, {"/C:", "C:"},
        {"/home/me/Tom&amp;Jerry%20.avi", "/home/me/Tom&Jerry .avi"},
        /* Playlist links use plinks; a bad number falls back to the data folder. */
        {"/iTunes%20Tables/link3/Artist/Song.mp3", "E:/Music Lib/Artist/Song.mp3"},
        {"/iTunes Tables/link3", "E:/Music Lib/"}, {"/iTunes Tables/link9/x.mp3", "$+"},
        {"/iTunes Tables/link4/A/x.mp3", "/home/me/Music/Caf\xe9/A/x.mp3"},
        {"/iTunes Tables/linkX/x", "$+"}, {"/iTunes Tables/link-1/x", "$+"},
        {"/iTunes Tables/link99999999999999/x", "$+"}, {"/iPhoto Tables/Albums.txt", "$+"},
        /* Only /Roku/Roku_Config.txt is served. */
        {"/C:/Kids/Roku_Config.txt", ""},
        /* A path that would not fit is left empty, never cut to another name. */
        {"/Roku/Long/" + std::string(100, 'n'), ""}, {"/C:/" + std::string(1000, 'a') + ".mp3", ""},
        {"/Roku/Long/x", std::string(MAX_PATH_TXT - 10, 'd') + "/x"},
        {"/Roku/" + std::string(900, 't') + "/x", "/t/x"},
    };
    for (auto &[target, want] : cases) {
        std::string path = want == "$+" ? dir + target : want[0] == '$' ? dir + want.substr(1) : want;
        EXPECT_EQ(maps_to(target), path) << target;
    }
}

TEST_F(RokuTree, RecentFolderAndConfig)
{
    /* n.mp4x holds row n; an emptied row loses its file; a link named Recent wins. */
    scopy(recent[0], RECENT_TXT, "/m/b.mp4");
    scopy(recent[1], RECENT_TXT, "/m/a film.mkv");
    EXPECT_EQ(maps_to("/Roku/Recent/"), dir + "/Recent/");
    EXPECT_EQ(read_file(dir + "/Recent/0.mp4x") + read_file(dir + "/Recent/1.mp4x"), "/m/b.mp4\n/m/a film.mkv\n");
    EXPECT_FALSE(fs::exists(dir + "/Recent/2.mp4x"));
    recent[1][0] = 0;
    set_link(0, "Recent", "/elsewhere");
    EXPECT_EQ(maps_to("/Roku/Recent/0.mp4x"), "/elsewhere/0.mp4x");
    EXPECT_FALSE(fs::exists(dir + "/Recent/1.mp4x"));

    /* The file as a text-mode read gives it (CR LF to LF); notices are cleared. */
    std::string ini = "[Velmora]\r\nName=Den\r\n";
    for (int i = 0; i < 400; i++) ini += "[S" + std::to_string(i) + "]\r\nKey=" + std::string(40, 'v') + "\r\n";
    write_file(dir + "/Velmora.ini", ini + "odd\rline\r");
    New_Title = New_iTunes = 1;
    EXPECT_EQ(page("/Roku/Roku%5FConfig.txt"), std::regex_replace(ini, std::regex("\r\n"), "\n") + "odd\rline\r");
    EXPECT_EQ(New_Title + New_iTunes, 0);
    /* No file: nothing sent and an empty path (the handler's 404). */
    fs::remove(dir + "/Velmora.ini");
    EXPECT_EQ(maps_to("/Roku/Roku_Config.txt"), "");
}

TEST_F(RokuTree, ListingPageParentLinksAndRefusals)
{
    std::string music = dir + "/Music";
    fs::create_directories(music + "/Rock");
    write_file(music + "/My Song.mp3", std::string(1234, 's'));
    write_file(music + "/caf\xC3\xA9.txt", "hello");
    write_file(music + "/notes", "");
    struct utimbuf t1 = {1700000000, 1700000000}, t2 = {1704240000, 1704240000};
    utime((music + "/My Song.mp3").c_str(), &t1);
    utime((music + "/Rock").c_str(), &t2);                /* a one-digit day */
    paths.edit([&](LINK *t) {
        t[7].path = strdup((dir + "/MUSIC").c_str());     /* case does not matter */
        t[300].path = strdup(music.c_str());              /* free records between */
        t[301].path = strdup("/elsewhere");
    });
    New_Title = New_iTunes = 1;

    auto heading = [](const std::string &target, const std::string &parent) {
        std::string title = "Directory listing of " + target;
        return "<HTML><TITLE>" + title + "</TITLE><BODY>\n<H3>" + title + "</H3>\n<PRE><A HREF=\"" + parent +
               "\">Up to higher level directory</A><BR>\n";
    };
    std::string page = drain(chk_browse("/C:/Music/", music.c_str(), 0)), head = heading("/C:/Music/", "/C:/");
    std::string tail = "<BR><A HREF=\"Roku_Config.txt\">Roku_Config.txt</A>"
                       "<BR><A HREF=\"Roku_Config.txt\">Roku_Config.txt</A>"
                       "<BR>Roku-New-Title\n<BR>Roku-New-iTunes\n</PRE></BODY></HTML>\n";
    ASSERT_GT(page.size(), head.size() + tail.size());
    ASSERT_EQ(page.substr(0, head.size()) + page.substr(page.size() - tail.size()), head + tail);
    /* Entries in the folder's order, "." and ".." included, each ending "<BR>". */
    std::string body = page.substr(head.size(), page.size() - head.size() - tail.size());
    EXPECT_EQ(split(body, "<BR>"), (Lines{entry(music, ".", ".", "Directory"), entry(music, "..", "..", "Directory"),
                                          entry(music, "Rock", "Rock", "Directory"),
                                          entry(music, "My Song.mp3", "My%20Song.mp3", "MP3 "),
                                          entry(music, "caf\xC3\xA9.txt", "caf%C3%A9.txt", "Plain Text"),
                                          entry(music, "notes", "notes", "")}));
    EXPECT_EQ(body, "");

    /* Parent links; no notices once off; no final "/", no folder or a file: none. */
    New_Title = New_iTunes = 0;
    const std::string rock = music + "/Rock", lost = "/" + std::string(MAX_PATH_TXT, 'l') + "/";
    using Row = std::tuple<std::string, std::string, std::string>;
    for (auto [target, path, parent] : {Row{"/C:/Music/Rock/", rock, "/C:/Music/"}, {"/C:/", rock, "/"},
                                        {"/", rock, "/"}, {lost, rock, "/"}, {"/C:/Music", music, ""}, {"", music, ""},
                                        {"/C:/None/", dir + "/None", ""}, {"/x/", music + "/notes", ""}}) {
        page = drain(chk_browse(target.c_str(), path.c_str(), 0));
        EXPECT_EQ(parent.empty() ? page : page.substr(0, page.find("<BR>\n") + 5),
                  parent.empty() ? "null" : heading(target, parent)) << target;
        EXPECT_EQ(page.find("Roku"), std::string::npos);
    }
}

/* A page past what a listing keeps in memory goes on in a temporary file:
** it comes back whole, every entry once, in the folder's order. */
TEST_F(RokuTree, ListingOfAFolderOfThousandsIsWhole)
{
    std::string big = dir + "/Big";
    fs::create_directories(big);
    trace_off();              /* the trace would name every file twice */
    const int files = 2500;   /* about 1.2 MB of page */
    for (int i = 0; i < files; i++) {
        std::string name = "Track " + std::to_string(i) + std::string(200, 'n') + ".mp3";
        write_file(big + "/" + name, std::string((size_t)(i % 7), 'x'));
    }
    std::string page = drain(chk_browse("/C:/Big/", big.c_str(), 0));
    ASSERT_GT(page.size(), (size_t)(1 << 20));
    const std::string end = "</PRE></BODY></HTML>\n";
    ASSERT_EQ(page.substr(page.size() - end.size()), end);
    std::string body = page.substr(page.find("<BR>\n") + 5);
    body.resize(body.size() - end.size());
    Lines got;
    size_t from = 0;
    for (size_t at; (at = body.find("<BR>", from)) != std::string::npos; from = at + 4)
        got.insert(body.substr(from, at + 4 - from));
    EXPECT_EQ(from, body.size());
    ASSERT_EQ(got.size(), (size_t)files + 2);
    for (int i = 0; i < files; i += 499) {
        std::string name = "Track " + std::to_string(i) + std::string(200, 'n') + ".mp3";
        std::string href = "Track%20" + std::to_string(i) + std::string(200, 'n') + ".mp3";
        EXPECT_EQ(got.count(entry(big, name, href, "MP3 ")), 1u) << name;
    }
}

TEST(Match, PatternRules)
{
    const int P = MATCH_PATHNAME, D = MATCH_PERIOD, E = MATCH_NOESCAPE, C = MATCH_CASEFOLD;
    struct { const char *pat, *str; int flags, match; } cases[] = {
        /* Empty pattern, "?" and "*". */
        {"", "", 0, 1}, {"", "a", 0, 0}, {"*", "", 0, 1}, {"?", "", 0, 0}, {"a?c", "abc", 0, 1}, {"**x", "x", 0, 1},
        {"*.mp3", "song.mp3", 0, 1}, {"*.mp3", "song.mp4", 0, 0}, {"a*b*c", "aXbYc", 0, 1}, {"a*b*c", "aXbY", 0, 0},
        {"abc", "abcd", 0, 0}, {"abc*", "abc", 0, 1},
        /* Bracket sets: ranges, negation, "]" and "-" as members, no "]". */
        {"[abc]", "b", 0, 1}, {"[a-c]x", "bx", 0, 1}, {"[a-c]", "d", 0, 0}, {"[!a-c]", "d", 0, 1}, {"[ab", "[ab", 0, 1},
        {"[!a-c]", "b", 0, 0}, {"[^0-9]", "5", 0, 0}, {"[]]", "]", 0, 1}, {"[!]]", "]", 0, 0}, {"[a-]", "-", 0, 1},
        {"[z-a]", "m", 0, 0}, {"[\\]]", "]", 0, 1}, {"[a-z]", "\xE9", 0, 0},
        /* Escapes, and flag 4 that makes backslash ordinary. */
        {"\\*", "*", 0, 1}, {"\\*", "x", 0, 0}, {"\\*", "\\x", E, 1}, {"a\\", "a\\", 0, 1}, {"\\a", "\\a", E, 1},
        {"[\\a]", "\\", E, 1},
        /* Flag 8: ASCII letters in either case, in sets too. */
        {"*.MP3", "song.mp3", 0, 0}, {"*.MP3", "song.mp3", C, 1}, {"[A-C]", "b", C, 1}, {"[a-c]", "B", C, 1},
        {"\xC9", "\xE9", C, 0},
        /* Flag 1: "/" only by "/". */
        {"a*b", "a/b", 0, 1}, {"a*b", "a/b", P, 0}, {"a?b", "a/b", P, 0}, {"a[/]b", "a/b", P, 0}, {"*/*", "a/b", P, 1},
        {"*/*", "a/b/c", P, 0}, {"a\\/b", "a/b", P, 1}, {"a/", "a", P, 0},
        /* Flag 2: a leading "." only by a ".", per component with flag 1. */
        {"*", ".h", D, 0}, {"?h", ".h", D, 0}, {"[.]h", ".h", D, 0}, {".*", ".h", D, 1}, {"\\.*", ".h", D, 1},
        {"*", ".h", 0, 1}, {"*/*", "a/.b", P | D, 0}, {"*/.*", "a/.b", P | D, 1}, {"*/*", "a/.b", D, 1},
        /* Other bits, the subfolder option among them, are ignored. */
        {"*.mp3", "a.mp3", MATCH_SUBDIRS | 0x100, 1},
    };
    for (auto &c : cases)
        EXPECT_EQ(Match(c.pat, c.str, c.flags), !c.match) << "[" << c.pat << "] [" << c.str << "] " << c.flags;

    /* Many stars against a long name end quickly. */
    std::string stars, name(5000, 'a');
    for (int i = 0; i < 500; i++) stars += "*a";
    EXPECT_EQ(Match((stars + "b").c_str(), name.c_str(), 0), 1);
}

TEST_F(RokuTree, SearchOptionsLoopsAndDepth)
{
    /* chk_toc's lines for folder/target; {"null"} for none. */
    auto search = [](const std::string &folder, const std::string &target) {
        std::string all = drain(chk_toc((folder + "/" + target).c_str()));
        Lines got = split(all, "\n");
        return all.empty() ? got : Lines{all};
    };
    std::string m = dir + "/Music";
    fs::create_directories(m + "/Sub/Deeper");
    for (const char *f : {"song.mp3", "notes.txt", "Sub/deep.mp3", "Sub/Deeper/deepest.mp3", "a*b.mp3", "a\\b.mp3"})
        write_file(m + "/" + f, "x");
    /* "s" searches subfolders; backslash is ordinary unless "e"; no wildcard, no search. */
    EXPECT_EQ(search(m, "*EST.mp3&S"), (Lines{m + "/Sub/Deeper/deepest.mp3\n"}));
    EXPECT_EQ(search(m, "a\\*b.mp3"), (Lines{m + "/a\\b.mp3\n"}));
    EXPECT_EQ(search(m, "a\\*b.mp3&e"), (Lines{m + "/a*b.mp3\n"}));
    for (auto [folder, t] : {std::pair{m, "&s"}, {m, "song.mp3"}, {m, "*.flac&s"}, {dir + "/missing", "*.mp3"}})
        EXPECT_EQ(search(folder, t), (Lines{"null"})) << t;
    EXPECT_EQ(chk_toc("no-slash*"), nullptr);

    /* Links back to a folder being searched are not followed again; others
    ** are, inside the shared places only. */
    set_link(0, "Share", dir);
    std::string l = dir + "/L", k = dir + "/K";
    fs::create_directories(l + "/sub");
    fs::create_directories(k);
    for (const std::string &x : {l + "/x1", l + "/sub/x2", k + "/x3"}) write_file(x, "x");
    for (auto [to, at] : {std::pair{".", "/L/self"}, {"..", "/L/sub/up"}, {"../K", "/L/k"}, {"../L", "/K/back"}})
        ASSERT_EQ(symlink(to, (dir + at).c_str()), 0) << at;
    EXPECT_EQ(search(l, "x*&s"), (Lines{l + "/x1\n", l + "/sub/x2\n", l + "/k/x3\n"}));

    /* Ten folders each linked from the nine others: each is searched once,
    ** each song found once.  A search whose client has hung up stops. */
    std::string web = dir + "/Web";
    for (int i = 0; i < 10; i++) {
        fs::create_directories(web + "/f" + std::to_string(i));
        write_file(web + "/f" + std::to_string(i) + "/s" + std::to_string(i) + ".mp3", "x");
        for (int j = 0; j < 10; j++)
            if (j != i) fs::create_directory_symlink("../f" + std::to_string(j), web + "/f" + std::to_string(i) + "/to" + std::to_string(j));
    }
    fs::create_directory_symlink("/etc", web + "/f0/etc");
    std::string found = drain(chk_toc((web + "/*.mp3&s").c_str()));
    EXPECT_EQ(std::count(found.begin(), found.end(), '\n'), 10) << found;
    EXPECT_EQ(search(web, "passwd&s"), (Lines{"null"}));
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    close(pair[1]);
    EXPECT_EQ(chk_toc((web + "/*.mp3&s").c_str(), pair[0]), nullptr);
    close(pair[0]);

    /* A tree deeper than a search goes still answers what lies near. */
    std::string deep = dir + "/Deep", p = deep;
    for (int i = 0; i < 60; i++) p += "/d" + std::to_string(i);
    fs::create_directories(p);
    write_file(deep + "/d0/near.mp3", "x");
    write_file(p + "/far.mp3", "x");
    EXPECT_EQ(search(deep, "*.mp3&s"), (Lines{deep + "/d0/near.mp3\n"}));
}
