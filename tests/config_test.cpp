/*
** The configuration file: the first run from the user's folders, a full save
** read back, the option letters against the file, the recent list alone and
** under many request threads, title links and library folders, the playlist
** link file, and damaged files that must load and then save clean.
*/
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "global.h"
#include "config.h"
#include "helpers.h"
#include "subs/text.h"
#include "subs/threads.h"

using Lines = std::vector<std::string>;

namespace {

/* Every setting and list back to its start value. */
void reset_globals(bool keep_addresses = false)
{
    if (!keep_addresses) {
        memset(IP_Adrs, 0, sizeof IP_Adrs);
        IP_cnt = IP_Select = 0;
    }
    Server_Name[0] = iTunes_Path[0] = iPhoto_Path[0] = VLC_Path[0] = 0;
    SS_music[0] = Version_Host[0] = 0;
    My_Port = My_Trace = Audit = Save_Config = New_Title = 0;
    Transcode = VLC_Stream = VLC_Subtitle = On_error = 0;
    SS_period = SS_overlay = SS_shuffle = SS_random = 0;
    iTunes_Time = iPhoto_Time = 0;
    options = 0;
    memset(recent, 0, sizeof recent);
    for (LINK *l : {links, paths})
        for (int i = 0; i < MAX_LINKS; i++) {
            free(l[i].link);
            free(l[i].path);
            l[i] = LINK{nullptr, nullptr};
        }
}

void set_option(char c) { options |= 1u << ('z' - c); }

std::string crlf(const Lines &lines)
{
    std::string s;
    for (const std::string &l : lines) s += l + "\r\n";
    return s;
}

std::string get(const char *sec, const char *key)
{
    char buf[4096];
    pal_get_private_profile_string(sec, key, "<none>", buf, sizeof buf, Config_File());
    return buf;
}

/* The section's "key=value" lines as the channel reads them. */
Lines section(const char *sec, const std::string &file)
{
    std::vector<char> buf(1 << 16);
    pal_get_private_profile_section(sec, buf.data(), (unsigned long)buf.size(), file.c_str());
    Lines out;
    for (const char *p = buf.data(); *p; p += strlen(p) + 1) out.push_back(p);
    return out;
}

/* Every line "[section]" or "key=value" ending in CR LF, and nothing else. */
bool clean_file(const std::string &b)
{
    if (b.size() < 2 || b.compare(b.size() - 2, 2, "\r\n")) return false;
    for (size_t pos = 0, end; pos < b.size(); pos = end + 2) {
        end = b.find("\r\n", pos);
        std::string line = b.substr(pos, end - pos);
        bool header = line.size() >= 2 && line.front() == '[' && line.back() == ']';
        size_t eq = line.find('=');
        if (line.find_first_of(std::string("\r\n\0", 3)) != std::string::npos ||
            (!header && (line[0] == '[' || eq == 0 || eq == std::string::npos)))
            return false;
    }
    return true;
}

}  // namespace

/* A fresh working folder (Roku_Path) with a home folder (My_Path) in it,
** memory-backed when the machine has one: every profile write is flushed to
** the disk, and the thread test makes tens of thousands of them. */
class Config : public ::testing::Test {
protected:
    std::string dir, home, ini;

    void SetUp() override
    {
        std::string tmpl = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        tmpl += "/velmora-config-XXXXXX";
        ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
        dir = tmpl, home = dir + "/home", ini = dir + "/Velmora.ini";
        mkdir(home.c_str(), 0755);
        scopy(Roku_Path, sizeof Roku_Path, dir.c_str());
        scopy(My_Path, sizeof My_Path, home.c_str());
        reset_globals();
    }
    void TearDown() override
    {
        reset_globals();
        std::filesystem::remove_all(dir);
    }
    void folder(const std::string &rel) { std::filesystem::create_directories(home + "/" + rel); }
};

TEST_F(Config, ServerNameTakesTheApostropheRule)
{
    const char *cases[][2] = {{"James", "James' Media on Den"}, {"Bob", "Bob's Media on Den"},
                              {"CHRIS", "CHRIS's Media on Den"}};
    for (auto &c : cases) {
        std::filesystem::remove(ini);
        scopy(User, sizeof User, c[0]);
        scopy(Mach, sizeof Mach, "Den");
        init_config();
        EXPECT_STREQ(Server_Name, c[1]);
        EXPECT_EQ(get("Velmora", "Name"), c[1]);
    }
}

TEST_F(Config, FirstRunLinksComeFromTheUsersFolders)
{
    folder("Movies");
    folder("My Music/iTunes");
    folder("Pictures/iPhoto Library");
    folder("dropbox");                             /* case matters */
    write_file(home + "/Videos", "not a folder");
    init_config();

    std::map<std::string, std::string> want = {
        {"Movies", home + "/Movies"}, {"iTunes", home + "/My Music/iTunes"},
        {"Pictures", home + "/Pictures"}, {"iPhoto", home + "/Pictures/iPhoto Library"}};
    std::map<std::string, std::string> mem, file;
    for (int i = 0; i < MAX_LINKS && links[i].link; i++) mem[links[i].link] = links[i].path;
    for (auto &e : section("Links", ini)) file[e.substr(0, e.find('='))] = e.substr(e.find('=') + 1);
    EXPECT_EQ(mem, want);
    EXPECT_EQ(file, want);
    EXPECT_EQ(std::string(iTunes_Path), home + "/My Music/iTunes");
    EXPECT_EQ(std::string(iPhoto_Path), home + "/Pictures/iPhoto");
    EXPECT_EQ(get("SlideShow", "SS_period") + get("SlideShow", "SS_overlay"), "61");

    /* A home that cannot be listed: version and name only, nothing more. */
    std::filesystem::remove(ini);
    reset_globals();
    scopy(My_Path, sizeof My_Path, (dir + "/nowhere").c_str());
    init_config();
    Lines first = {"[Velmora]", "Version=" VELMORA_VERSION, "Name=" + std::string(Server_Name)};
    EXPECT_EQ(read_file(ini), crlf(first));
}

TEST_F(Config, SaveThenLoadGivesBackEveryKeyInOrder)
{
    scopy(IP_Adrs[0], IP_TXT, "10.0.0.2");
    scopy(IP_Adrs[1], IP_TXT, "192.168.1.20");
    IP_cnt = 2;
    IP_Select = 1;
    scopy(Server_Name, sizeof Server_Name, "Den Server");
    My_Port = 8001;
    Transcode = VLC_Stream = VLC_Subtitle = On_error = My_Trace = Audit = 1;
    iTunes_Time = 5000000000LL;                    /* past 2038 */
    iPhoto_Time = 1700000000;
    scopy(iTunes_Path, sizeof iTunes_Path, "/lib/it");
    scopy(iPhoto_Path, sizeof iPhoto_Path, "/lib/ip");
    scopy(VLC_Path, sizeof VLC_Path, "/usr/bin/vlc");
    scopy(Version_Host, sizeof Version_Host, "127.0.0.1:8099");
    SS_period = 7, SS_overlay = 2, SS_shuffle = 3, SS_random = 4;
    scopy(SS_music, sizeof SS_music, "/m/a.mp3");
    scopy(recent[0], RECENT_TXT, "/v/a.mkv");
    scopy(recent[2], RECENT_TXT, "/v/c.mkv");      /* row 1 empty: keys 0 and 2 */
    links[0] = LINK{strdup("Movies"), strdup("/m")};
    links[1] = LINK{strdup("TV"), strdup("/tv")};
    paths[3] = LINK{strdup("1234"), strdup("/kids")};
    Save_Config = 1;
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

    /* Loaded into cleared settings and saved again, every key comes back the
    ** same (the recent rows close up, so row 2 returns as row 1). */
    reset_globals(true);
    IP_Select = 0;
    load_config();
    EXPECT_EQ(IP_Select, 1);
    EXPECT_EQ(iTunes_Time, 5000000000LL);
    EXPECT_STREQ(paths[0].link, "1234");
    std::filesystem::remove(ini);
    save_config();
    EXPECT_EQ(read_file(ini), want.replace(want.find("2=/v/c.mkv"), 1, "1"));

    /* No host, no key: the default file never names one. */
    Version_Host[0] = 0;
    save_config();
    EXPECT_EQ(get("Velmora", "VersionHost"), "<none>");
}

TEST_F(Config, AddressOptionLettersAndVersionAgainstTheFile)
{
    write_file(ini, crlf({"[Velmora]", "Version=1.9.0.0", "IPadrs=10.9.8.7", "Trace=0", "Audit=0",
                          "iTunes_Time=77", "iPhoto_Time=88"}));
    scopy(IP_Adrs[0], IP_TXT, "192.168.1.5");
    scopy(IP_Adrs[1], IP_TXT, "127.0.0.1");
    IP_cnt = 2;
    set_option('t'), set_option('a'), set_option('i');
    My_Trace = Audit = 1;                          /* as start-up sets them */
    load_config();
    EXPECT_EQ(IP_cnt, 3);
    EXPECT_STREQ(IP_Adrs[2], "10.9.8.7");
    EXPECT_EQ(IP_Select, 2);
    EXPECT_EQ(My_Trace.load(), 1);
    EXPECT_EQ(Audit.load(), 0);
    EXPECT_EQ(iTunes_Time + iPhoto_Time, 0);
    EXPECT_EQ(get("Velmora", "Version"), VELMORA_VERSION);

    /* A known address is selected, not added; without letters the file
    ** wins; a current version leaves the file's bytes alone. */
    reset_globals(true);
    IP_cnt = 2;
    scopy(IP_Adrs[1], IP_TXT, "10.9.8.7");
    std::string before = read_file(ini);
    load_config();
    EXPECT_EQ(IP_cnt * 10 + IP_Select, 21);
    EXPECT_EQ(iTunes_Time, 77);
    EXPECT_EQ(read_file(ini), before);
}

TEST_F(Config, ValuesAreCutAndNumbersReadAsDecimal)
{
    /* Links of 47 characters an entry: 42 fit in the section buffer, the
    ** 43rd is cut after its "=". */
    auto folder_of = [](int i) { return "/media/" + std::string(30, 'f') + "/" + std::to_string(i); };
    Lines l = {"[Velmora]", "Name=" + std::string(150, 'n'), "iTunes_Path=" + std::string(300, 'p'),
               "Port=80abc", "Transcode=abc", "VLC_Stream=", "On_error=99999999999", "iTunes_Time=-5",
               "[SlideShow]", "SS_music=" + std::string(600, 'm'), "[Recent]"};
    for (int i = 0; i < 12; i++) l.push_back(std::to_string(11 - i) + "=/r" + std::to_string(i));
    l.push_back("[Links]");
    for (int i = 100; i < 160; i++) l.push_back("T" + std::to_string(i) + "=" + folder_of(i));
    write_file(ini, crlf(l));
    Transcode = VLC_Stream = 1;
    load_config();
    EXPECT_EQ(strlen(Server_Name) + strlen(iTunes_Path) + strlen(SS_music), 99u + 99u + 499u);
    EXPECT_EQ(My_Port.load(), 80);
    EXPECT_EQ(Transcode + VLC_Stream, 2);
    EXPECT_EQ(On_error, INT_MAX);
    EXPECT_EQ(iTunes_Time, -5);
    EXPECT_STREQ(recent[0], "/r0");               /* file order, whatever the keys */
    EXPECT_STREQ(recent[9], "/r9");
    int n = 0;
    for (; n < MAX_LINKS && links[n].link; n++)
        EXPECT_EQ(std::string(links[n].link) + "=" + links[n].path,
                  "T" + std::to_string(100 + n) + "=" + folder_of(100 + n));
    EXPECT_EQ(n, 42);
}

TEST_F(Config, RecentListMovesToHeadKeepsTenAndSkipsPrivateFolders)
{
    insert_recent("A");
    insert_recent("B");
    insert_recent("A");
    EXPECT_EQ(section("Recent", ini), (Lines{"0=A", "1=B"}));
    EXPECT_STREQ(recent[2], "");

    for (int i = 0; i <= 10; i++) insert_recent(("/p" + std::to_string(i)).c_str());
    Lines want;
    for (int i = 10; i >= 1; i--) want.push_back(std::to_string(10 - i) + "=/p" + std::to_string(i));
    EXPECT_EQ(section("Recent", ini), want);
    EXPECT_STREQ(recent[9], "/p1");

    paths[5] = LINK{strdup("1234"), strdup("D:/Kids")};
    std::string before = read_file(ini);
    insert_recent("D:/Kids/Movies");
    EXPECT_EQ(read_file(ini), before);
    EXPECT_STREQ(recent[0], "/p10");
    insert_recent("D:/Other");
    EXPECT_STREQ(recent[0], "D:/Other");
}

namespace {
std::atomic<int> workers_done{0};

/* A request thread playing 1000 videos of its own. */
int recent_worker(int t)
{
    char place[64];
    for (int i = 0; i < 1000; i++) {
        sfmt(place, sizeof place, "/t%d/p%d", t, i);
        insert_recent(place);
    }
    workers_done++;
    return 0;
}

/* A list one rewrite could have left: keys 0, 1, 2... in order, whole rows
** of recent_worker, no place twice, each thread's places newest first. */
bool whole_list(const Lines &entries)
{
    int last[8] = {1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000};
    std::set<std::string> seen;
    for (size_t k = 0; k < entries.size(); k++) {
        int key, t, i, used = 0;
        const char *e = entries[k].c_str();
        if (sscanf(e, "%d=/t%d/p%d%n", &key, &t, &i, &used) != 3 || used != (int)strlen(e) ||
            key != (int)k || t < 0 || t >= 8 || i < 0 || i >= last[t] ||
            !seen.insert(strchr(e, '=')).second)
            return false;
        last[t] = i;
    }
    return entries.size() <= 10;
}
}  // namespace

TEST_F(Config, ConcurrentInsertsNeverTearTheListOrTheFile)
{
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0}, reads{0};
    std::string file = ini;
    std::thread reader([&] {           /* as the channel reads the served file */
        for (size_t most = 0; !stop; reads++) {
            Lines l = section("Recent", file);
            if (!whole_list(l) || l.size() < most) bad++;   /* never a list half written */
            most = std::max(most, l.size());
        }
    });
    Job_Func saved = Jobs[JOB_CLIENT];
    Jobs[JOB_CLIENT] = recent_worker;
    workers_done = 0;
    for (int t = 0; t < 8; t++) myfork(JOB_CLIENT, t);
    for (int i = 0; i < 600000 && workers_done < 8; i++) pal_sleep(1);
    stop = true;
    reader.join();
    Jobs[JOB_CLIENT] = saved;
    ASSERT_EQ(workers_done.load(), 8);

    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(reads.load(), 0);
    Lines rows;
    for (int i = 0; i < MAX_RECENT; i++) rows.push_back(std::to_string(i) + "=" + recent[i]);
    EXPECT_TRUE(whole_list(rows));
    EXPECT_EQ(section("Recent", ini), rows);
}

TEST_F(Config, TitleLinksAndLibraryFolders)
{
    insert_link("A", "/a", nullptr);
    insert_link("B", "/b", nullptr);
    insert_link("A", "/x", "y");
    EXPECT_EQ(std::string(links[0].link) + links[0].path + links[1].link, "A/x/yB");
    EXPECT_EQ(links[2].link, nullptr);
    EXPECT_EQ(section("Links", ini), (Lines{"A=/x/y", "B=/b"}));
    delete_link("B");
    EXPECT_EQ(section("Links", ini), (Lines{"A=/x/y"}));

    folder("lower");
    folder("lib");
    for (const char *f : {"lower/itunes music library.xml", "lower/albumdata.xml",
                          "lib/iTunes Music Library.xml", "lib/AlbumData.xml"})
        write_file(home + "/" + f, "");
    std::string lower = home + "/lower", lib = home + "/lib";
    EXPECT_EQ(Check_New_iTunes(lower.c_str()) + Check_New_iPhoto(lower.c_str()), 0);
    EXPECT_EQ(Check_New_iTunes((home + "/missing").c_str()), 0);
    iTunes_Time = iPhoto_Time = 99;
    EXPECT_EQ(Check_New_iTunes(lib.c_str()) + Check_New_iPhoto(lib.c_str()), 2);
    EXPECT_EQ(std::string(iTunes_Path) + "|" + iPhoto_Path, home + "/lib|" + home + "/lib");
    EXPECT_EQ(iTunes_Time + iPhoto_Time, 0);
    EXPECT_EQ(get("Links", "iTunes") + "|" + get("Links", "iPhoto"), home + "/lib|" + home + "/lib");
}

TEST_F(Config, PlaylistLinksLoseOnlyTheirLineEnd)
{
    std::filesystem::create_directories(dir + "/iTunes Tables");
    write_file(dir + "/iTunes Tables/links.txt", "one\ntwo\r\n" + std::string(1500, 'z') + "\n\nlast");
    load_links();
    ASSERT_EQ(plink_cnt, 5);
    Lines got(plinks, plinks + plink_cnt);
    EXPECT_EQ(got, (Lines{"one", "two", std::string(1023, 'z'), "", "last"}));

    std::filesystem::remove(dir + "/iTunes Tables/links.txt");
    load_links();
    EXPECT_EQ(plink_cnt, 0);
}

TEST_F(Config, DamagedFilesLoadAndTheNextSaveIsClean)
{
    std::vector<std::pair<std::string, std::function<void()>>> files;
    std::mt19937 rng(7);
    const char *bits[] = {"[Velmora]", "[Links]", "[Recent]", "[Paths]", "[SlideShow]", "=", "\r\n",
                          "\n", "\r", "Name", "Port=", "0=", "[", "]", ";", " "};
    for (int f = 0; f < 12; f++) {                /* bytes, and bytes mixed with INI pieces */
        std::string s;
        for (size_t size = 1 + rng() % 40000; s.size() < size;)
            s += f % 2 == 0 || rng() % 3 == 0 ? std::string(1, (char)(rng() & 0xFF)) : bits[rng() % 16];
        files.push_back({s, [] {}});
    }
    std::string big = "[Velmora]\r\nName=Big\r\n[Links]\r\n";
    for (int i = 0; big.size() < 10u << 20; i++)
        big += "Title" + std::to_string(i) + "=/media/folder" + std::to_string(i) + "\r\n";
    files.push_back({big + "[SlideShow]\r\nSS_period=9\r\n", [] {
        EXPECT_STREQ(Server_Name, "Big");
        EXPECT_EQ(SS_period, 9);
        EXPECT_STREQ(links[0].path, "/media/folder0");
    }});
    files.push_back({"[Velmora]\r\nName=" + std::string(100000, 'x') + "\r\nPort=81\r\n" +
                         std::string(100000, 'y') + "\r\n[Recent]\r\n0=/r/a\r\n", [] {
        EXPECT_EQ(std::string(Server_Name), std::string(99, 'x'));
        EXPECT_EQ(My_Port.load(), 81);
        EXPECT_STREQ(recent[0], "/r/a");
    }});
    static const char nuls[] = "[Velmora]\r\nName=Nu\0ll\r\nPort=82\0\r\n\0\0[SlideShow]\r\nSS_period=3";
    files.push_back({std::string(nuls, sizeof nuls - 1), [] {
        EXPECT_STREQ(Server_Name, "Nu");
        EXPECT_EQ(My_Port.load() * 10 + SS_period, 823);
    }});

    for (size_t i = 0; i < files.size(); i++) {
        SCOPED_TRACE("file " + std::to_string(i));
        reset_globals();
        write_file(ini, files[i].first);
        load_config();
        files[i].second();
        save_config();
        std::string out = read_file(ini);
        EXPECT_TRUE(clean_file(out));
        EXPECT_LT(out.size(), 64u << 10);
        EXPECT_EQ(get("Velmora", "Version"), VELMORA_VERSION);
        EXPECT_FALSE(std::filesystem::exists(ini + ".new"));
    }
}

TEST_F(Config, FailedSectionDeleteEndsTheProgram)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    /* The working folder is gone, so no write can replace the file.  (The
    ** child that runs this has a folder of its own, which it removes here.) */
    EXPECT_EXIT(
        {
            std::filesystem::remove_all(dir);
            save_config();
        },
        ::testing::ExitedWithCode(1), "WritePrivateProfileString");
}

/* A child saves two different configurations in turn without pause and is
** killed at random moments: the file on disk is always one whole save or
** the other, never a mixture and never short. */
TEST_F(Config, KilledSaveLeavesOneWholeConfiguration)
{
    auto fill = [](char tag) {
        sfmt(Server_Name, sizeof Server_Name, "%c server", tag);
        for (int i = 0; i < MAX_RECENT; i++) sfmt(recent[i], RECENT_TXT, "/%c/recent/%d", tag, i);
        for (int i = 0; i < 20; i++) {
            char title[32], folder[64];
            sfmt(title, sizeof title, "%c title %d", tag, i);
            sfmt(folder, sizeof folder, "/%c/folder/%d", tag, i);
            free(links[i].link);
            free(links[i].path);
            links[i].link = strdup(title);
            links[i].path = strdup(folder);
        }
    };
    fill('a');
    save_config();
    std::mt19937 rng(7);
    for (int round = 0; round < 200; round++) {
        pid_t pid = fork();
        if (pid == 0) {
            for (int n = 0;; n++) {
                fill(n % 2 ? 'a' : 'b');
                save_config();
            }
        }
        usleep(200 + rng() % 3000);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        std::string name = get("Velmora", "Name");
        ASSERT_TRUE(name == "a server" || name == "b server") << name;
        char tag = name[0];
        Lines r = section("Recent", Config_File()), l = section("Links", Config_File());
        ASSERT_EQ(r.size(), (size_t)MAX_RECENT);
        ASSERT_EQ(l.size(), 20u);
        for (const std::string &e : r) ASSERT_EQ(e.find(std::string("=/") + tag + "/recent/"), 1u) << e;
        for (const std::string &e : l) ASSERT_EQ(e[0], tag) << e;
    }
}
