/* The configuration file: first run, save and load, the recent list, damaged files, failed saves. */
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <csignal>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <memory>
#include <random>
#include <thread>

#include "global.h"
#include "config/config.h"
#include "helpers.h"
#include "subs/text.h"
#include "subs/threads.h"

using Lines = std::vector<std::string>;
using namespace std::string_literals;

/* Every setting and list back to its start value (addresses kept when asked). */
static void reset_globals(bool keep_addresses = false)
{
    if (!keep_addresses) memset(IP_Adrs, 0, sizeof IP_Adrs), IP_cnt = 0;
    IP_Select = 0;
    Server_Name[0] = iTunes_Path[0] = iPhoto_Path[0] = VLC_Path[0] = SS_music[0] = Version_Host[0] = 0;
    My_Port = My_Trace = Audit = Save_Config = New_Title = 0;
    Transcode = VLC_Stream = VLC_Subtitle = On_error = SS_period = SS_overlay = SS_shuffle = SS_random = 0;
    iTunes_Time = iPhoto_Time = options = 0;
    memset(recent, 0, sizeof recent);
    links.edit(Clear_Links), paths.edit(Clear_Links);
}

static std::string crlf(const Lines &lines)
{
    std::string s;
    for (const std::string &l : lines) s += l + "\r\n";
    return s;
}

static std::string get(const char *sec, const char *key)
{
    std::vector<char> buf(1 << 17);
    pal_get_private_profile_string(sec, key, "<none>", buf.data(), (unsigned long)buf.size(), Config_File());
    return buf.data();
}

/* The section's "key=value" lines as the channel reads them. */
static Lines section(const char *sec)
{
    std::vector<char> buf(1 << 22);
    pal_get_private_profile_section(sec, buf.data(), (unsigned long)buf.size(), Config_File());
    Lines out;
    for (const char *p = buf.data(); *p; p += strlen(p) + 1) out.push_back(p);
    return out;
}

/* The title links in memory as "title=folder", in table order. */
static Lines memory_links()
{
    Lines out;
    const Link_View lk = links.now();
    for (int i = 0; i < MAX_LINKS && lk[i].link; i++) out.push_back(lk[i].link + "="s + lk[i].path);
    return out;
}

/* The recent list as Recent_Copy hands it out: "row=place" for each used row. */
static Lines memory_recent()
{
    auto rows = std::make_unique<char[][RECENT_TXT]>(MAX_RECENT);
    Recent_Copy(rows.get());
    Lines out;
    for (int i = 0; i < MAX_RECENT; i++)
        if (rows[i][0]) out.push_back(std::to_string(i) + "=" + rows[i]);
    return out;
}

static Lines sorted(Lines l) { return std::sort(l.begin(), l.end()), l; }

/* A fresh working folder (Roku_Path) holding a home folder (My_Path), in memory when possible. */
class Config : public ::testing::Test {
protected:
    std::string dir, home, ini;

    void SetUp() override
    {
        std::string tmpl = (access("/dev/shm", W_OK) == 0 ? "/dev/shm"s : "/tmp"s) + "/velmora-config-XXXXXX";
        ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
        dir = tmpl, home = dir + "/home", ini = dir + "/Velmora.ini";
        std::filesystem::create_directory(home);
        scopy(Roku_Path, sizeof Roku_Path, dir.c_str());
        scopy(My_Path, sizeof My_Path, home.c_str());
        reset_globals();
    }
    void TearDown() override { reset_globals(), std::filesystem::remove_all(dir); }
    void folder(const std::string &rel) { std::filesystem::create_directories(home + "/" + rel); }
};

TEST_F(Config, FirstRunNamesTheServerAndLinksTheUsersFoldersAndLibraries)
{
    for (const char *f : {"Movies", "My Music/iTunes", "Pictures/iPhoto Library", "dropbox" /* case matters */})
        folder(f);
    write_file(home + "/Videos", "not a folder");
    init_config();
    Lines want = {"Movies=" + home + "/Movies", "Pictures=" + home + "/Pictures",
                  "iPhoto=" + home + "/Pictures/iPhoto Library", "iTunes=" + home + "/My Music/iTunes"};
    EXPECT_EQ(sorted(memory_links()), want);
    EXPECT_EQ(sorted(section("Links")), want);
    EXPECT_EQ(iTunes_Path + "|"s + iPhoto_Path, home + "/My Music/iTunes|" + home + "/Pictures/iPhoto");
    EXPECT_EQ(get("SlideShow", "SS_period") + get("SlideShow", "SS_overlay"), "61");

    /* A library found later (exact file name) takes over its title and is re-imported. */
    for (const char *f : {"lower/itunes music library.xml", "lower/albumdata.xml", "lib/iTunes Music Library.xml",
                          "lib/AlbumData.xml"})
        folder(std::filesystem::path(f).parent_path()), write_file(home + "/" + f, "");
    std::string lower = home + "/lower", lib = home + "/lib";
    EXPECT_EQ(Check_New_iTunes(lower.c_str()) + Check_New_iPhoto(lower.c_str()) +
                  Check_New_iTunes((home + "/missing").c_str()), 0);
    iTunes_Time = iPhoto_Time = 99;
    EXPECT_EQ(Check_New_iTunes(lib.c_str()) + Check_New_iPhoto(lib.c_str()), 2);
    EXPECT_EQ(iTunes_Path + "|"s + iPhoto_Path + "|" + std::to_string(iTunes_Time + iPhoto_Time),
              lib + "|" + lib + "|0");
    want = {"Movies=" + home + "/Movies", "Pictures=" + home + "/Pictures", "iPhoto=" + lib, "iTunes=" + lib};
    EXPECT_EQ(sorted(section("Links")), want);
    EXPECT_EQ(sorted(memory_links()), want);

    /* An unlistable home gives version and name only. */
    scopy(My_Path, sizeof My_Path, (dir + "/nowhere").c_str());
    scopy(Mach, sizeof Mach, "Den");
    scopy(User, sizeof User, "Bob");
    std::filesystem::remove(ini);
    init_config();
    EXPECT_EQ(read_file(ini), crlf({"[Velmora]", "Version=" VELMORA_VERSION, "Name=Bob's Media on Den"}));
}

TEST_F(Config, SaveThenLoadGivesBackEveryKeyInOrder)
{
    scopy(IP_Adrs[0], IP_TXT, "10.0.0.2");
    scopy(IP_Adrs[1], IP_TXT, "192.168.1.20");
    IP_cnt = 2, IP_Select = 1, My_Port = 8001, Save_Config = 1;
    Transcode = VLC_Stream = VLC_Subtitle = On_error = My_Trace = Audit = 1;
    iTunes_Time = 5000000000LL, iPhoto_Time = 1700000000;   /* past 2038 */
    SS_period = 7, SS_overlay = 2, SS_shuffle = 3, SS_random = 4;
    for (auto &s : {std::make_pair(Server_Name, "Den Server"), {iTunes_Path, "/lib/it"}, {iPhoto_Path, "/lib/ip"},
                    {VLC_Path, "/usr/bin/vlc"}, {Version_Host, "127.0.0.1:8099"}, {SS_music, "/m/a.mp3"},
                    {recent[0], "/v/a.mkv"}, {recent[2], "/v/c.mkv"}})   /* row 1 empty: keys 0 and 2 */
        scopy(s.first, 100, s.second);
    links.edit([](LINK *t) { t[0] = LINK{strdup("Movies"), strdup("/m")}, t[1] = LINK{strdup("TV"), strdup("/tv")}; });
    paths.edit([](LINK *t) { t[3] = LINK{strdup("1234"), strdup("/kids")}; });
    save_config();
    EXPECT_EQ(Save_Config.load(), 0);
    std::string want = crlf({
        "[Velmora]", "Version=" VELMORA_VERSION, "Name=Den Server", "IPadrs=192.168.1.20", "Port=8001",
        "Transcode=1", "VLC_Stream=1", "VLC_Subtitle=1", "Trace=1", "Audit=1", "iTunes_Time=5000000000",
        "iPhoto_Time=1700000000", "iTunes_Path=/lib/it", "iPhoto_Path=/lib/ip", "VLC_Path=/usr/bin/vlc",
        "On_error=1", "VersionHost=127.0.0.1:8099", "[SlideShow]", "SS_period=7", "SS_overlay=2",
        "SS_shuffle=3", "SS_random=4", "SS_music=/m/a.mp3", "[Recent]", "0=/v/a.mkv", "2=/v/c.mkv",
        "[Links]", "Movies=/m", "TV=/tv", "[Paths]", "/kids=1234"});
    EXPECT_EQ(read_file(ini), want);

    /* Loaded and saved again, every key comes back (recent rows close up); the
    ** load picks the known address without adding it. */
    reset_globals(true);
    load_config();
    EXPECT_EQ(IP_cnt * 10 + IP_Select, 21);
    EXPECT_EQ(read_file(ini), want);
    std::filesystem::remove(ini);
    save_config();
    EXPECT_EQ(read_file(ini), want.replace(want.find("2=/v/c.mkv"), 1, "1"));

    Version_Host[0] = 0;   /* no host, no key */
    save_config();
    EXPECT_EQ(get("Velmora", "VersionHost"), "<none>");
}

/* What a load takes from the file: numbers as "%d" reads them (text after
** the digits ignored, no digits leave the setting alone, too large is held
** at the end), values whole, the option letters t and i over the file's
** keys but not a, the file's unknown address added and chosen.  Long
** sections are OversizedSectionsAndValuesSurviveLoadAndSave's. */
TEST_F(Config, LoadReadsNumbersCutsValuesAndWeighsOptionLetters)
{
    Lines l = {"[Velmora]", "Version=1.9.0.0", "IPadrs=10.9.8.7", "Trace=0", "Audit=0", "iTunes_Time=77",
               "iPhoto_Time=88", "Name=" + std::string(150, 'n'), "iTunes_Path=" + std::string(300, 'p'),
               "Port=80abc", "Transcode=abc", "VLC_Stream=", "VLC_Subtitle=-5", "On_error=99999999999",
               "[SlideShow]", "SS_music=" + std::string(600, 'm'), "[Recent]"};
    for (int i = 0; i < 12; i++) l.push_back(std::to_string(11 - i) + "=/r" + std::to_string(i));
    write_file(ini, crlf(l));
    scopy(IP_Adrs[0], IP_TXT, "192.168.1.5");
    scopy(IP_Adrs[1], IP_TXT, "127.0.0.1");
    IP_cnt = 2, Transcode = VLC_Stream = 1;
    for (char c : {'t', 'a', 'i'}) options |= 1u << ('z' - c);
    My_Trace = Audit = 1;                               /* as start-up sets them for t and a */
    load_config();
    EXPECT_EQ((std::vector<long long>{IP_cnt, IP_Select, My_Trace, Audit, iTunes_Time, iPhoto_Time, My_Port,
                                      Transcode, VLC_Stream, VLC_Subtitle, On_error}),
              (std::vector<long long>{3, 2, 1, 0, 0, 0, 80, 1, 1, -5, INT_MAX}));
    EXPECT_STREQ(IP_Adrs[2], "10.9.8.7");
    EXPECT_EQ(get("Velmora", "Version"), VELMORA_VERSION);   /* an old version is brought up to date */
    EXPECT_EQ(strlen(Server_Name) + strlen(iTunes_Path) + strlen(SS_music), 150u + 300u + 600u);
    EXPECT_EQ(recent[0] + "|"s + recent[9], "/r0|/r9");  /* file order, whatever the keys */
}

/* Playlist link lines lose only their line end, and are cut at 1023. */
TEST_F(Config, PlaylistLinksLoseOnlyTheirLineEnd)
{
    std::filesystem::create_directories(dir + "/iTunes Tables");
    write_file(dir + "/iTunes Tables/links.txt", "one\ntwo\r\n" + std::string(1500, 'z') + "\n\nlast");
    load_links();
    EXPECT_EQ(Lines(plinks, plinks + plink_cnt), (Lines{"one", "two", std::string(1023, 'z'), "", "last"}));
    std::filesystem::remove(dir + "/iTunes Tables/links.txt");
    load_links();
    EXPECT_EQ(plink_cnt, 0);
}

TEST_F(Config, RecentListMovesToHeadKeepsTenAndSkipsPrivateFolders)
{
    auto expect_list = [](const Lines &want) {   /* in the file and in memory alike */
        EXPECT_EQ(section("Recent"), want);
        EXPECT_EQ(memory_recent(), want);
    };
    for (const char *p : {"A", "B", "A"}) insert_recent(p);
    expect_list({"0=A", "1=B"});
    Lines want;
    for (int i = 0; i <= 10; i++) insert_recent(("/p" + std::to_string(i)).c_str());
    for (int i = 10; i >= 1; i--) want.push_back(std::to_string(10 - i) + "=/p" + std::to_string(i));
    expect_list(want);
    paths.edit([](LINK *t) { t[5] = LINK{strdup("1234"), strdup("D:/Kids")}; });
    insert_recent("D:/Kids/Movies");              /* below a private folder: never enters */
    expect_list(want);
    insert_recent("D:/Other");
    EXPECT_EQ(memory_recent()[0], "0=D:/Other");
}

static std::atomic<int> workers_done{0};

/* A list one whole update could leave: keys in order, ten rows at most, each
** thread's places newest first with none missing between. */
static bool whole_list(const Lines &entries)
{
    int last[8] = {1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000};
    for (size_t k = 0; k < entries.size(); k++) {
        int key, t, i, used = 0;
        const char *e = entries[k].c_str();
        if (sscanf(e, "%d=/t%d/p%d%n", &key, &t, &i, &used) != 3 || used != (int)strlen(e) || key != (int)k ||
            t < 0 || t >= 8 || i < 0 || (last[t] < 1000 ? i != last[t] - 1 : i >= 1000))
            return false;
        last[t] = i;
    }
    return entries.size() <= 10;
}

/* Eight threads insert 1000 places each while the file and the memory list are read. */
TEST_F(Config, ConcurrentInsertsNeverTearTheListOrTheFile)
{
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0}, reads{0};
    std::thread reader([&] {
        for (size_t most = 0; !stop; reads++) {
            Lines l = section("Recent");
            bad += !whole_list(l) || l.size() < most;   /* never a list half written */
            most = std::max(most, l.size());
        }
    });
    std::thread copier([&] {
        while (!stop) bad += !whole_list(memory_recent());
    });
    Job_Func saved = Jobs[JOB_CLIENT];
    Jobs[JOB_CLIENT] = [](int t) {
        for (int i = 0; i < 1000; i++) insert_recent(("/t" + std::to_string(t) + "/p" + std::to_string(i)).c_str());
        return workers_done++, 0;
    };
    workers_done = 0;
    for (int t = 0; t < 8; t++) myfork(JOB_CLIENT, t);
    for (int i = 0; i < 600000 && workers_done < 8; i++) pal_sleep(1);
    stop = true;
    reader.join();
    copier.join();
    Jobs[JOB_CLIENT] = saved;
    ASSERT_EQ(workers_done.load(), 8);
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(memory_recent().size(), (size_t)MAX_RECENT);
    EXPECT_TRUE(whole_list(memory_recent()));
    EXPECT_EQ(section("Recent"), memory_recent());
}

/* A 10 MB file, overlong lines and NULs load what can be read, and the next
** save writes the same bytes as a save into no file at all. */
TEST_F(Config, DamagedFilesLoadAndTheNextSaveIsClean)
{
    std::string big = "[Velmora]\r\nName=Big\r\n[Links]\r\n";
    for (int i = 0; big.size() < 10u << 20; i++)
        big += "Title" + std::to_string(i) + "=/media/folder" + std::to_string(i) + "\r\n";
    /* each file, and what it gives: name|port|slideshow period|first recent row|first link's folder */
    std::pair<std::string, std::string> files[] = {
        {big + "[SlideShow]\r\nSS_period=9\r\n", "Big|0|9||/media/folder0"},
        {"[Velmora]\r\nName=" + std::string(100000, 'x') + "\r\nPort=81\r\n" + std::string(100000, 'y') +
             "\r\n[Recent]\r\n0=/r/a\r\n", "|81|0|/r/a|"},
        {"[Velmora]\r\nName=Nu\0ll\r\nPort=82\0\r\n\0\0[SlideShow]\r\nSS_period=3"s, "Nu|82|3||"},
    };
    for (auto &f : files) {
        SCOPED_TRACE(testing::PrintToString(f.first.substr(0, 40)));
        reset_globals();
        write_file(ini, f.first);
        load_config();
        std::string got = Server_Name + "|"s + std::to_string(My_Port) + "|" + std::to_string(SS_period) + "|" +
                          recent[0] + "|" + (links.now()[0].path ? links.now()[0].path : "");
        EXPECT_EQ(got, f.second);
        save_config();
        std::string out = read_file(ini);
        std::filesystem::remove(ini);
        save_config();
        EXPECT_EQ(out, read_file(ini));
        EXPECT_FALSE(std::filesystem::exists(ini + ".new"));
    }
}

/* Nothing the user configured is lost by a load and a save: a section far
** beyond the tables (its entries past 1,000 stay in the file, in order),
** a 100 KB folder, values longer than their settings hold, a title added
** to a full table. */
TEST_F(Config, OversizedSectionsAndValuesSurviveLoadAndSave)
{
    Lines l = {"[Velmora]", "Name=" + std::string(300, 'n'), "iTunes_Path=/" + std::string(299, 'p'),
               "VLC_Path=/" + std::string(5000, 'v'), "[Links]"};
    for (int i = 0; i < 2000; i++)
        l.push_back("T" + std::to_string(i) + "=/media/" + (i == 7 ? std::string(100000, 'f') : std::to_string(i)));
    l.push_back("[Paths]");
    for (int i = 0; i < 1200; i++) l.push_back("/kids/" + std::to_string(i) + "=" + std::to_string(1000 + i));
    write_file(ini, crlf(l));
    load_config();
    EXPECT_EQ(memory_links(), Lines(l.begin() + 5, l.begin() + 1005));
    EXPECT_EQ(strlen(iTunes_Path), 300u);
    EXPECT_EQ(VLC_Path[0], 0);                 /* too long to hold: not taken cut */
    insert_link("Added", "/added", nullptr);   /* the table is full */
    save_config();
    Lines want_links(l.begin() + 5, l.begin() + 2005), want_paths(l.begin() + 2006, l.end());
    want_links.push_back("Added=/added");
    EXPECT_EQ(section("Links"), want_links);
    EXPECT_EQ(section("Paths"), want_paths);
    for (int k : {1, 2, 3}) EXPECT_EQ(get("Velmora", l[k].substr(0, l[k].find('=')).c_str()), l[k].substr(l[k].find('=') + 1));
    write_file(ini, "[Velmora]\r\n");        /* no kept entries for the tests after */
    load_config();
}

/* A child saving in a loop is killed at random: the file is always one whole save. */
TEST_F(Config, KilledSaveLeavesOneWholeConfiguration)
{
    auto fill = [](char tag) {
        sfmt(Server_Name, sizeof Server_Name, "%c server", tag);
        for (int i = 0; i < MAX_RECENT; i++) sfmt(recent[i], RECENT_TXT, "/%c/recent/%d", tag, i);
    };
    fill('a');
    save_config();
    std::mt19937 rng(7);
    for (int round = 0; round < 200; round++) {
        pid_t pid = fork();
        if (pid == 0)
            for (int n = 0;; n++) fill(n % 2 ? 'a' : 'b'), save_config();
        usleep(200 + rng() % 3000);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        std::string name = get("Velmora", "Name");
        ASSERT_TRUE(name == "a server" || name == "b server") << name;
        Lines r = section("Recent");
        ASSERT_EQ(r.size(), (size_t)MAX_RECENT);
        for (const std::string &e : r) ASSERT_EQ(e.find("=/"s + name[0] + "/recent/"), 1u) << e;
    }
}

/* A full disk during a save ends the program with the reason, and leaves
** the last whole configuration in place (a small memory disk of our own). */
TEST_F(Config, FullDiskDuringSaveKeepsTheLastWholeFile)
{
    std::string small = dir + "/small";
    std::filesystem::create_directory(small);
    ASSERT_TRUE(mount_small(small, "8k"));   /* two pages */
    scopy(Roku_Path, sizeof Roku_Path, small.c_str());
    links.edit([](LINK *t) { t[0] = LINK{strdup("Movies"), strdup("/m")}; });
    save_config();
    std::string whole = read_file(small + "/Velmora.ini");
    links.edit([](LINK *t) {
        for (int i = 1; i < MAX_LINKS; i++) t[i] = LINK{strdup(("T" + std::to_string(i)).c_str()), strdup("/media/x")};
    });
    GTEST_FLAG_SET(death_test_style, "fast");   /* the child must not mount again */
    EXPECT_EXIT(save_config(), ::testing::ExitedWithCode(1), "WritePrivateProfileString \\*\n.*No space left");
    EXPECT_EQ(read_file(small + "/Velmora.ini"), whole);
    EXPECT_EQ(system(("umount '" + small + "'").c_str()), 0);
}
