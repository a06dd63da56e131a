/*
** The /Roku/ tree, folder listings and the wildcard search: the pages and
** header block the channel reads byte for byte (over a socket pair), the
** mapping of targets to paths, the Recent folder, Roku_Config.txt, hostile
** targets, the folder listing page, the pattern rules and the tree search.
*/
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "global.h"
#include "helpers.h"
#include "listing.h"
#include "match.h"
#include "roku.h"
#include "subs/text.h"
#include "subs/threads.h"

namespace fs = std::filesystem;
using Lines = std::multiset<std::string>;

namespace {

/* Empties the tables the tree reads. */
void clear_tables(void)
{
    for (LINK *l : {links, paths})
        for (int i = 0; i < MAX_LINKS; i++) {
            free(l[i].link);
            free(l[i].path);
            l[i] = LINK{nullptr, nullptr};
        }
    for (char *&p : plinks) {
        free(p);
        p = nullptr;
    }
    memset(recent, 0, sizeof recent);
    New_Title = New_iTunes = 0;
}

void set_link(int i, const std::string &title, const std::string &folder)
{
    links[i].link = strdup(title.c_str());
    links[i].path = strdup(folder.c_str());
}

/* A data folder of its own with the trace on, and empty tables. */
class Tree : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override { dir = trace_to_temp(), clear_tables(); }
    void TearDown() override { clear_tables(), trace_off(), fs::remove_all(dir); }
};

/* Runs call on one end of a socket pair and returns what it sent; a thread
** reads the other end, so a page larger than the pair's buffer goes too. */
std::string sent_by(const std::function<int(pal_socket)> &call, int *rc)
{
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    std::string got;
    std::thread reader([&] {
        char buf[65536];
        for (ssize_t n; (n = read(sv[1], buf, sizeof buf)) > 0;) got.append(buf, (size_t)n);
    });
    *rc = call(sv[0]);
    close(sv[0]);
    reader.join();
    close(sv[1]);
    return got;
}

/* The header block for a body of len bytes, with its Date line masked. */
std::string header(size_t len)
{
    return "HTTP/1.1 200 Document follows\nDate: *\nServer: Velmora 2.0.14.0\n"
           "Content-type: text/plain\nContent-length: " +
           std::to_string(len) + "\nConnection: Keep-Alive\nKeep-Alive: max=5, timeout=5\n\n";
}

/* The answer with its Date line checked for the clock form, then masked. */
std::string masked(const std::string &answer)
{
    static const std::regex date("\nDate: (Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
                                 "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                 "[ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\n");
    std::smatch m;
    if (!std::regex_search(answer, m, date)) return "no clock text in: " + answer;
    return m.prefix().str() + "\nDate: *\n" + m.suffix().str();
}

const std::string DOTS = "<a href=\".\">.</a><br>\n<a href=\"..\">..</a><br>\n";
const std::string CONFIG_LINK = "<a href=\"Roku_Config.txt\">Roku_Config.txt</a><br>\n";
const std::string PAGE_END = "</body></html>\n";

std::string page_head(const std::string &target)
{
    return "<html><head>\n<title>Index of " + target + "</title>\n</head><body>\n";
}

class RokuTree : public Tree {
protected:
    char out[MAX_PATH_TXT];

    /* Roku_path on target; returns what it sent, its result in *rc. */
    std::string roku(const std::string &target, int req, int *rc)
    {
        std::vector<char> item(MAX_PATH_TXT, 0);
        scopy(item.data(), item.size(), target.c_str());
        memset(out, 'x', sizeof out - 1);
        out[sizeof out - 1] = 0;
        return sent_by([&](pal_socket s) { return Roku_path(s, item.data(), out, req); }, rc);
    }
    /* The path a target maps to; a mapping sends nothing. */
    std::string maps_to(const std::string &target)
    {
        int rc = -1;
        EXPECT_EQ(roku(target, 0, &rc), "") << target;
        EXPECT_EQ(rc, 0) << target;
        return out;
    }
};

}  // namespace

TEST_F(RokuTree, ListingsByteForByte)
{
    int rc;
    std::string body = page_head("/") + "<a href=\"Roku/\">Roku/</a><br>\n" + PAGE_END;
    std::string got = roku("/", 0, &rc);
    EXPECT_EQ(masked(got), header(body.size()) + body);
    EXPECT_EQ(rc, (int)got.size());

    /* The links in order and not encoded; Recent/ only with a recent entry. */
    set_link(0, "Movies", "/m/Movies");
    set_link(1, "Fotos & Co", "/m/Photos");
    std::string titles = "<a href=\"Movies/\">Movies/</a><br>\n<a href=\"Fotos & Co/\">Fotos & Co/</a><br>\n";
    body = page_head("/Roku/") + DOTS + titles + CONFIG_LINK + PAGE_END;
    EXPECT_EQ(masked(roku("/Roku/", 0, &rc)), header(body.size()) + body);
    scopy(recent[0], RECENT_TXT, "/m/Movies/a.mp4");
    body = page_head("/Roku/") + DOTS + "<a href=\"Recent/\">Recent/</a><br>\n" + titles + CONFIG_LINK + PAGE_END;
    EXPECT_EQ(masked(roku("/Roku/", 0, &rc)), header(body.size()) + body);

    /* HEAD: the same header block with the page's length, and no page. */
    got = roku("/Roku/", 3, &rc);
    EXPECT_EQ(masked(got), header(body.size()));
    EXPECT_EQ(rc, (int)got.size());

    /* A thousand long titles still make one whole page. */
    body = page_head("/Roku/") + DOTS + "<a href=\"Recent/\">Recent/</a><br>\n";
    for (int i = 0; i < MAX_LINKS; i++) {
        std::string title = std::to_string(i) + std::string(90, 'x');
        free(links[i].link), free(links[i].path);
        set_link(i, title, "/m/" + title);
        body += "<a href=\"" + title + "/\">" + title + "/</a><br>\n";
    }
    body += CONFIG_LINK + PAGE_END;
    got = roku("/Roku/", 0, &rc);
    EXPECT_EQ(masked(got), header(body.size()) + body);
    EXPECT_GT(rc, 200000);
}

TEST_F(RokuTree, TargetsMapToLinksTablesAndTheDataFolder)
{
    set_link(0, "Movies", "/m/Movies");
    set_link(1, "Music", "D:/Media/Music");
    EXPECT_EQ(maps_to("/Roku/Music/Album/x.mp3"), "D:/Media/Music/Album/x.mp3");
    EXPECT_EQ(maps_to("/Roku/Music"), "D:/Media/Music");
    char path[MAX_PATH_TXT];
    EXPECT_EQ(Get_Roku_Path("/Roku/music/", path), 0);     /* case matters */
    EXPECT_EQ(Get_Roku_Path("/Roku/Musi/", path), 0);
    EXPECT_EQ(Get_Roku_Path("/Roku", path), 0);

    /* Unknown tags, "/Roku" itself and an encoded listing target: the data
    ** folder.  "/Rokuxyz" is nobody's. */
    EXPECT_EQ(maps_to("/Roku/Music%20Box/a%20b.mp3"), dir + "/Music Box/a b.mp3");
    EXPECT_EQ(maps_to("/Roku"), dir);
    EXPECT_EQ(maps_to("/Roku%2F"), dir + "/");
    EXPECT_EQ(maps_to("/Rokuxyz"), "/Rokuxyz");

    /* Drive paths lose their leading "/"; everything is decoded. */
    EXPECT_EQ(maps_to("/C:/Music/a.mp3"), "C:/Music/a.mp3");
    EXPECT_EQ(maps_to("/C:"), "C:");
    EXPECT_EQ(maps_to("/home/me/Tom&amp;Jerry%20.avi"), "/home/me/Tom&Jerry .avi");

    /* Library tables live in the data folder; playlist links use plinks and
    ** fall back to the data folder without a number or a prefix. */
    plinks[3] = strdup("E:/Music%20Lib/");
    EXPECT_EQ(maps_to("/iTunes%20Tables/link3/Artist/Song.mp3"), "E:/Music Lib/Artist/Song.mp3");
    EXPECT_EQ(maps_to("/iTunes Tables/link3"), "E:/Music Lib/");
    for (const char *t : {"/iTunes Tables/link9/x.mp3", "/iTunes Tables/linkX/x", "/iTunes Tables/link-1/x",
                          "/iTunes Tables/link99999999999999/x", "/iPhoto Tables/Albums.txt"})
        EXPECT_EQ(maps_to(t), dir + t);
}

TEST_F(RokuTree, RecentFolderFollowsTheRecentList)
{
    scopy(recent[0], RECENT_TXT, "/m/b.mp4");
    scopy(recent[1], RECENT_TXT, "/m/a film.mkv");
    EXPECT_EQ(maps_to("/Roku/Recent/"), dir + "/Recent/");
    EXPECT_EQ(read_file(dir + "/Recent/0.mp4x"), "/m/b.mp4\n");
    EXPECT_EQ(read_file(dir + "/Recent/1.mp4x"), "/m/a film.mkv\n");
    EXPECT_FALSE(fs::exists(dir + "/Recent/2.mp4x"));

    /* A row that empties loses its file; a link named Recent wins, but only
    ** after the folder was rebuilt. */
    recent[1][0] = 0;
    set_link(0, "Recent", "/elsewhere");
    EXPECT_EQ(maps_to("/Roku/Recent/0.mp4x"), "/elsewhere/0.mp4x");
    EXPECT_FALSE(fs::exists(dir + "/Recent/1.mp4x"));

    /* Request threads rebuilding at once leave whole files. */
    static std::atomic<int> done;
    done = 0;
    Job_Func saved = Jobs[JOB_CLIENT];
    Jobs[JOB_CLIENT] = [](int) {
        for (int i = 0; i < 20; i++) bld_recent();
        return done++, 0;
    };
    for (int t = 0; t < 8; t++) myfork(JOB_CLIENT, t);
    for (int i = 0; i < 60000 && done < 8; i++) pal_sleep(1);
    Jobs[JOB_CLIENT] = saved;
    ASSERT_EQ(done.load(), 8);
    EXPECT_EQ(read_file(dir + "/Recent/0.mp4x"), "/m/b.mp4\n");
}

TEST_F(RokuTree, ConfigIsServedOnlyAtItsOwnPlace)
{
    std::string ini = "[Velmora]\r\nName=Den\r\n[Paths]\r\n/m/Kids=1234\r\n";
    for (int i = 0; i < 400; i++) ini += "[S" + std::to_string(i) + "]\r\nKey=" + std::string(40, 'v') + "\r\n";
    write_file(dir + "/Velmora.ini", ini + "odd\rline");
    /* As a text-mode read gives it: CR LF becomes LF, a lone CR stays. */
    std::string body = std::regex_replace(ini, std::regex("\r\n"), "\n") + "odd\rline";

    New_Title = New_iTunes = 1;
    int rc;
    std::string got = roku("/Roku/Roku_Config.txt", 0, &rc);
    EXPECT_EQ(masked(got), header(body.size()) + body);
    EXPECT_EQ(rc, (int)got.size());
    EXPECT_EQ(New_Title + New_iTunes, 0);
    EXPECT_EQ(masked(roku("/Roku/Roku%5FConfig.txt", 3, &rc)), header(body.size()));

    /* Another folder's Roku_Config.txt, or no file: nothing sent and an
    ** empty path (the handler's 404); the notices are cleared all the same. */
    New_Title = 1;
    EXPECT_EQ(maps_to("/C:/Kids/Roku_Config.txt"), "");
    EXPECT_EQ(New_Title, 0);
    fs::remove(dir + "/Velmora.ini");
    EXPECT_EQ(maps_to("/Roku/Roku_Config.txt"), "");

    /* A peer that is gone is a failed send, not a signal. */
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    close(sv[1]);
    EXPECT_LT(Roku_send(sv[0], "abc", 3, 0), 0);
    close(sv[0]);
}

TEST_F(RokuTree, HostileTargetsStayInsideTheirBuffers)
{
    /* A path that would not fit is left empty, never cut to another name;
    ** so is a target that decoding would cut. */
    set_link(0, "Long", std::string(MAX_PATH_TXT - 10, 'd'));
    set_link(1, std::string(900, 't'), "/t");
    plinks[0] = strdup(std::string(1500, 'p').c_str());
    EXPECT_EQ(maps_to("/Roku/Long/" + std::string(100, 'n')), "");
    EXPECT_EQ(maps_to("/Roku/Long/x"), std::string(MAX_PATH_TXT - 10, 'd') + "/x");
    EXPECT_EQ(maps_to("/Roku/" + std::string(900, 't') + "/x"), "/t/x");
    EXPECT_EQ(maps_to("/C:/" + std::string(1000, 'a') + ".mp3"), "");

    for (const std::string &t : {std::string(MAX_PATH_TXT - 1, '%'), "/Roku/" + std::string(2040, 'r'),
                                 "/iTunes Tables/link0/" + std::string(900, 'a'), std::string("/iTunes Tables/link0"),
                                 std::string("%"), std::string("/%4"), std::string(""), std::string("/C"),
                                 std::string(2000, '/'), std::string("/\xC3\xA9%C3%A9&amp;apos;\xFF\xC3")}) {
        int rc;
        roku(t, 0, &rc);
        EXPECT_LT(strlen(out), (size_t)MAX_PATH_TXT);
    }
}

/* ------------------------------------------------------------- listings */

namespace {

/* The whole stream from where it stands; closes it. */
std::string drain(FILE *f)
{
    std::string s;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
    fclose(f);
    return s;
}

/* One entry of a listing, from the file's own status. */
std::string entry(const std::string &folder, const std::string &name, const std::string &href,
                  const std::string &type)
{
    static const char *days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    struct stat st;
    stat((folder + "/" + name).c_str(), &st);
    struct tm tm;
    localtime_r(&st.st_mtime, &tm);
    char text[128];
    snprintf(text, sizeof text, "%8lld  %s %s %2d %02d:%02d:%02d %d  ", (long long)st.st_size, days[tm.tm_wday],
             months[tm.tm_mon], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
    std::string slash = S_ISDIR(st.st_mode) ? "/" : "";
    return "<A HREF=\"" + href + slash + "\">" + name + slash + "</A>\t\t" + text + type + "<BR>";
}

class Listing : public Tree {
protected:
    std::string music;
    void SetUp() override
    {
        Tree::SetUp();
        music = dir + "/Music";
        fs::create_directories(music + "/Rock");
        write_file(music + "/My Song.mp3", std::string(1234, 's'));
        write_file(music + "/caf\xC3\xA9.txt", "hello");
        write_file(music + "/notes", "");
    }
};

}  // namespace

TEST_F(Listing, FolderPageByteForByte)
{
    struct utimbuf t1 = {1700000000, 1700000000}, t2 = {1704240000, 1704240000};
    utime((music + "/My Song.mp3").c_str(), &t1);
    utime((music + "/Rock").c_str(), &t2);                /* a one-digit day */
    paths[7].path = strdup((dir + "/MUSIC").c_str());     /* case does not matter */
    paths[300].path = strdup(music.c_str());              /* free records between */
    paths[301].path = strdup("/elsewhere");
    New_Title = New_iTunes = 1;

    FILE *f = chk_browse("/C:/Music/", music.c_str(), 0);
    ASSERT_NE(f, nullptr);
    std::string page = drain(f);
    std::string head = "<HTML><TITLE>Directory listing of /C:/Music/</TITLE><BODY>\n"
                       "<H3>Directory listing of /C:/Music/</H3>\n"
                       "<PRE><A HREF=\"/C:/\">Up to higher level directory</A><BR>\n";
    std::string tail = "<BR><A HREF=\"Roku_Config.txt\">Roku_Config.txt</A>"
                       "<BR><A HREF=\"Roku_Config.txt\">Roku_Config.txt</A>"
                       "<BR>Roku-New-Title\n<BR>Roku-New-iTunes\n</PRE></BODY></HTML>\n";
    ASSERT_GT(page.size(), head.size() + tail.size());
    ASSERT_EQ(page.substr(0, head.size()), head);
    ASSERT_EQ(page.substr(page.size() - tail.size()), tail);

    /* Entries come in the folder's own order, "." and ".." included, each
    ** ending in "<BR>" with no line feed. */
    std::string body = page.substr(head.size(), page.size() - head.size() - tail.size());
    Lines got;
    for (size_t pos; (pos = body.find("<BR>")) != std::string::npos; body.erase(0, pos + 4))
        got.insert(body.substr(0, pos + 4));
    EXPECT_EQ(body, "");
    EXPECT_EQ(got, (Lines{entry(music, ".", ".", "Directory"), entry(music, "..", "..", "Directory"),
                          entry(music, "Rock", "Rock", "Directory"),
                          entry(music, "My Song.mp3", "My%20Song.mp3", "MP3 "),
                          entry(music, "caf\xC3\xA9.txt", "caf%C3%A9.txt", "Plain Text"),
                          entry(music, "notes", "notes", "")}));
}

TEST_F(Listing, ParentLinksAndRefusals)
{
    for (auto &c : {std::pair<std::string, std::string>{"/C:/Music/Rock/", "/C:/Music/"}, {"/C:/", "/"},
                    {"/", "/"}, {"/" + std::string(MAX_PATH_TXT, 'l') + "/", "/"}}) {
        FILE *f = chk_browse(c.first.c_str(), music.c_str(), 3);
        ASSERT_NE(f, nullptr) << c.first;
        std::string page = drain(f);
        EXPECT_NE(page.find("<H3>Directory listing of " + c.first + "</H3>\n<PRE><A HREF=\"" + c.second + "\">"),
                  std::string::npos);
        EXPECT_EQ(page.find("Roku"), std::string::npos);   /* no markers, no notices */
    }
    /* No final "/", no folder, a file, and (for now) "?info": nothing. */
    EXPECT_EQ(chk_browse("/C:/Music", music.c_str(), 0), nullptr);
    EXPECT_EQ(chk_browse("", music.c_str(), 0), nullptr);
    EXPECT_EQ(chk_browse("/C:/None/", (dir + "/None").c_str(), 0), nullptr);
    EXPECT_EQ(chk_browse("/x/", (music + "/notes").c_str(), 0), nullptr);
    EXPECT_EQ(chk_browse("/C:/Music/a.mp3?info", (music + "/a.mp3?info").c_str(), 0), nullptr);
}

/* --------------------------------------------------------------- Match */

TEST(Match, PatternRules)
{
    const int P = MATCH_PATHNAME, D = MATCH_PERIOD, E = MATCH_NOESCAPE, C = MATCH_CASEFOLD;
    struct {
        const char *pat, *str;
        int flags, match;
    } cases[] = {
        /* Empty pattern, "?" and "*". */
        {"", "", 0, 1}, {"", "a", 0, 0}, {"*", "", 0, 1}, {"?", "", 0, 0}, {"a?c", "abc", 0, 1},
        {"*.mp3", "song.mp3", 0, 1}, {"*.mp3", "song.mp4", 0, 0}, {"a*b*c", "aXbYc", 0, 1},
        {"a*b*c", "aXbY", 0, 0}, {"**x", "x", 0, 1}, {"abc", "abcd", 0, 0}, {"abc*", "abc", 0, 1},
        /* Bracket sets: ranges, negation, "]" and "-" as members, no "]". */
        {"[abc]", "b", 0, 1}, {"[a-c]x", "bx", 0, 1}, {"[a-c]", "d", 0, 0}, {"[!a-c]", "d", 0, 1},
        {"[!a-c]", "b", 0, 0}, {"[^0-9]", "5", 0, 0}, {"[]]", "]", 0, 1}, {"[!]]", "]", 0, 0},
        {"[a-]", "-", 0, 1}, {"[z-a]", "m", 0, 0}, {"[ab", "[ab", 0, 1}, {"[\\]]", "]", 0, 1},
        {"[a-z]", "\xE9", 0, 0},
        /* Escapes, and flag 4 that makes backslash ordinary. */
        {"\\*", "*", 0, 1}, {"\\*", "x", 0, 0}, {"\\*", "\\x", E, 1}, {"a\\", "a\\", 0, 1},
        {"\\a", "\\a", E, 1}, {"[\\a]", "\\", E, 1},
        /* Flag 8: ASCII letters in either case, in sets too. */
        {"*.MP3", "song.mp3", 0, 0}, {"*.MP3", "song.mp3", C, 1}, {"[A-C]", "b", C, 1},
        {"[a-c]", "B", C, 1}, {"\xC9", "\xE9", C, 0},
        /* Flag 1: "/" only by "/". */
        {"a*b", "a/b", 0, 1}, {"a*b", "a/b", P, 0}, {"a?b", "a/b", P, 0}, {"a[/]b", "a/b", P, 0},
        {"*/*", "a/b", P, 1}, {"*/*", "a/b/c", P, 0}, {"a\\/b", "a/b", P, 1}, {"a/", "a", P, 0},
        /* Flag 2: a leading "." only by a ".", per component with flag 1. */
        {"*", ".h", D, 0}, {"?h", ".h", D, 0}, {"[.]h", ".h", D, 0}, {".*", ".h", D, 1},
        {"\\.*", ".h", D, 1}, {"*", ".h", 0, 1}, {"*/*", "a/.b", P | D, 0}, {"*/.*", "a/.b", P | D, 1},
        {"*/*", "a/.b", D, 1},
        /* Other bits, the subfolder option among them, are ignored. */
        {"*.mp3", "a.mp3", MATCH_SUBDIRS | 0x100, 1},
    };
    for (auto &c : cases)
        EXPECT_EQ(Match(c.pat, c.str, c.flags), c.match ? 0 : 1)
            << "[" << c.pat << "] [" << c.str << "] flags " << c.flags;

    /* Many stars against a long name end quickly. */
    std::string stars, name(5000, 'a');
    for (int i = 0; i < 500; i++) stars += "*a";
    EXPECT_EQ(Match((stars + "b").c_str(), name.c_str(), 0), 1);
}

/* -------------------------------------------------------------- search */

namespace {

class MatchSearch : public Tree {
protected:
    std::string music;
    void SetUp() override
    {
        Tree::SetUp();
        music = dir + "/Music";
        fs::create_directories(music + "/Sub/Deeper");
        fs::create_directories(music + "/Live1");
        for (const char *f : {"song.mp3", "Other.MP3", "notes.txt", "Sub/deep.mp3", "Sub/Deeper/deepest.mp3",
                              "Live1/inner.mp3", "a*b.mp3", "a\\b.mp3"})
            write_file(music + "/" + f, "x");
    }
    /* The lines chk_toc answers for folder/target; {"null"} for none. */
    Lines search(const std::string &target, const std::string &folder = "")
    {
        FILE *f = chk_toc(((folder.empty() ? music : folder) + "/" + target).c_str());
        if (!f) return {"null"};
        std::string all = drain(f);
        Lines lines;
        for (size_t pos; (pos = all.find('\n')) != std::string::npos; all.erase(0, pos + 1))
            lines.insert(all.substr(0, pos));
        EXPECT_EQ(all, "");   /* every line ends in a line feed */
        return lines;
    }
    std::string in(const std::string &rel) { return music + "/" + rel; }
};

}  // namespace

TEST_F(MatchSearch, PatternsOptionsAndSubfolders)
{
    /* Case-insensitive unless "c"; subfolders with "s" (either case). */
    EXPECT_EQ(search("*.MP3"), (Lines{in("song.mp3"), in("Other.MP3"), in("a*b.mp3"), in("a\\b.mp3")}));
    EXPECT_EQ(search("*.MP3&c"), (Lines{in("Other.MP3")}));
    EXPECT_EQ(search("*est.mp3&S"), (Lines{in("Sub/Deeper/deepest.mp3")}));
    /* A matching folder is listed itself and not searched into. */
    EXPECT_EQ(search("deep*&s"), (Lines{in("Sub/deep.mp3"), in("Sub/Deeper")}));
    EXPECT_EQ(search("*i*&s"), (Lines{in("Live1")}));
    /* Backslash is ordinary unless "e". */
    EXPECT_EQ(search("a\\*b.mp3"), (Lines{in("a\\b.mp3")}));
    EXPECT_EQ(search("a\\*b.mp3&e"), (Lines{in("a*b.mp3")}));
    /* "&" alone searches with the empty pattern; no wildcard is no search. */
    for (const char *t : {"&s", "song.mp3", "*.flac&s"}) EXPECT_EQ(search(t), (Lines{"null"})) << t;
    EXPECT_EQ(search("*.mp3", dir + "/missing"), (Lines{"null"}));
    EXPECT_EQ(chk_toc("no-slash*"), nullptr);

    /* find_file appends to the stream it is given. */
    FILE *f = find_file(music.c_str(), "notes*", MATCH_CASEFOLD, nullptr);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(find_file(music.c_str(), "nothing*", 0, f), f);
    EXPECT_EQ(find_file(music.c_str(), "song*", 0, f), f);
    rewind(f);
    EXPECT_EQ(drain(f), in("notes.txt") + "\n" + in("song.mp3") + "\n");
}

TEST_F(MatchSearch, LoopsAndDepthEndTheSearch)
{
    /* Links back to a folder being searched, directly or through another
    ** folder, are not followed again; other linked folders are searched. */
    std::string l = dir + "/L", m = dir + "/M";
    fs::create_directories(l + "/sub");
    fs::create_directories(m);
    for (const std::string &f : {l + "/x1", l + "/sub/x2", m + "/x3"}) write_file(f, "x");
    ASSERT_EQ(symlink(".", (l + "/self").c_str()), 0);
    ASSERT_EQ(symlink("..", (l + "/sub/up").c_str()), 0);
    ASSERT_EQ(symlink("../M", (l + "/m").c_str()), 0);
    ASSERT_EQ(symlink("../L", (m + "/back").c_str()), 0);
    EXPECT_EQ(search("x*&s", l), (Lines{l + "/x1", l + "/sub/x2", l + "/m/x3"}));

    /* A tree deeper than a search goes still answers what lies near. */
    std::string deep = dir + "/Deep", p = deep;
    for (int i = 0; i < 60; i++) p += "/d";
    fs::create_directories(p);
    write_file(deep + "/d/near.mp3", "x");
    write_file(p + "/far.mp3", "x");
    EXPECT_EQ(search("*.mp3&s", deep), (Lines{deep + "/d/near.mp3"}));
}
