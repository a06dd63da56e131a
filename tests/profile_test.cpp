/* The profile (INI) functions as Windows reads and writes the same files. */
#include "global.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "helpers.h"

using namespace std::string_literals;

/* The key that asks fetch() for the section's lines instead of one value. */
static const char *const LINES = "<lines>";

/* A fresh folder per test with Velmora.ini in it. */
class Profile : public ::testing::Test {
protected:
    std::string dir, ini;

    void SetUp() override
    {
        char tmpl[] = "/tmp/velmora_profile_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl, ini = dir + "/Velmora.ini";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    void put(const std::string &b) const { write_file(ini, b); }
    std::string bytes() const { return read_file(ini); }
    /* The folder's names, sorted and blank-separated (a left temporary file shows). */
    std::string names() const
    {
        std::string out;
        for (auto &e : std::set<std::filesystem::directory_entry>(std::filesystem::directory_iterator(dir), {}))
            out += (out.empty() ? "" : " ") + e.path().filename().string();
        return out;
    }
    /* One lookup (a section's lines for LINES) into size bytes, checked for overrun. */
    std::string fetch(const char *sec, const char *key, const char *def, unsigned long size,
                      unsigned long *ret) const
    {
        std::vector<char> buf(size + 8, 'Z');
        *ret = key == LINES ? pal_get_private_profile_section(sec, buf.data(), size, ini.c_str())
                            : pal_get_private_profile_string(sec, key, def, buf.data(), size, ini.c_str());
        EXPECT_EQ(std::string(buf.begin() + size, buf.end()), "ZZZZZZZZ") << "write past the buffer";
        return std::string(buf.data(), size);
    }
    std::string get(const char *sec, const char *key) const
    {
        unsigned long n;
        std::string b = fetch(sec, key, "<def>", 1000, &n);
        EXPECT_EQ(n, strlen(b.c_str()));
        return b.substr(0, n);
    }
};

/* The shared sample; its [Links] section as the section call returns it to *list. */
static std::string sample(std::string *list = nullptr)
{
    std::string links = "[Links]\r\n";
    for (int i = 0; i < 120; i++) {
        std::string k = "Title " + std::to_string(i), v = "/srv/media/folder number " + std::to_string(i);
        links += k + " = " + v + "\r\n";
        if (list) *list += k + "=" + v + '\0';
    }
    return "; Velmora settings\r\n[Velmora]\r\nPort=50080\r\n  Name  =  Living Room  \r\n"
           "Quoted=\"  spaced out  \"\r\nSingle='x'\r\nMixed='x\"\r\nLone=\"\r\nInner=a \"b\" c\r\n"
           "Empty=\r\nEq=a=b=c\r\nSemi=value ; not a comment\r\n   ;Hidden=1\r\nBare line\r\n"
           "Twice=first\r\nTwice=second\r\n\r\n"
           "[Private]\r\nD:/Kids = 1234\r\nMy Movies=9999\r\n[ Spaced Section ]\r\nk=v\r\n"
           "[S]\r\n a = 1 \r\n;c\r\n\r\nbb=0123456789\r\n" +
           links + "[velmora]\r\nLate=only in the second occurrence\r\nPort=1\r\n";
}

TEST_F(Profile, LookupsAsWindows)
{
    const std::string S = sample(), longv(100000, 'x');
    const std::string L = "[A]\r\nlong=" + longv + "\r\nafter=1\r\n[" + longv + "]\r\nk=v";
    struct { std::string file, sec, key, want; } cases[] = {
        {S, "VELMORA", "port", "50080"},             /* case-insensitive */
        {S, " Velmora ", " Port ", "50080"},          /* the caller's blanks trimmed */
        {S, "Velmora", "Name", "Living Room"},        /* blanks around both trimmed */
        {S, "Velmora", "Quoted", "  spaced out  "},   /* one pair of quotes off */
        {S, "Velmora", "Single", "x"},
        {S, "Velmora", "Mixed", "'x\""},              /* unmatched: kept */
        {S, "Velmora", "Lone", "\""},
        {S, "Velmora", "Inner", "a \"b\" c"},
        {S, "Velmora", "Empty", ""},                  /* present: not the default */
        {S, "Velmora", "Eq", "a=b=c"},
        {S, "Velmora", "Semi", "value ; not a comment"},
        {S, "Velmora", ";Hidden", "<def>"},           /* an indented comment */
        {S, "Velmora", "Bare line", "<def>"},         /* no "=": no key */
        {S, "Velmora", "Twice", "first"},
        {S, "Velmora", "Late", "<def>"},              /* a second occurrence is unseen */
        {S, "private", "d:/kids", "1234"},            /* blanks and slashes in keys */
        {S, "Private", "My Movies", "9999"},
        {S, "Private", "Port", "<def>"},              /* stops at its section's end */
        {S, "Spaced Section", "k", "v"},
        {S, "Nowhere", "Port", "<def>"},
        {L, "A", "long", longv.substr(0, 999)},       /* cut to the buffer */
        {L, "A", "after", "1"},
        {L, longv, "k", "v"},
        {"k=top\r\n[S]\r\nk=v\0junk\r\nj=w"s, "S", "j", "w"},   /* a NUL ends a line */
    };
    for (auto &c : cases) {
        put(c.file);
        EXPECT_EQ(get(c.sec.c_str(), c.key.c_str()), c.want) << "[" << c.sec.substr(0, 20) << "] " << c.key;
    }
    /* every kind of line end, none at the end, a byte-order mark, NULs, stray
    ** brackets, a key before any header: [S] k is v */
    for (const std::string &f : {"[S]\r\nk=v"s, "[S]\nk=v\n"s, "[S]\rk=v\r"s, "[S]\r\r\nk=v\r\r\n"s,
                                 "\xEF\xBB\xBF[S]\r\nk=v\r\n"s, "[S]\r\n[T\r\nk=v\r\n"s, "[S] ; note\r\nk=v\r\n"s,
                                 "\0\0\0[S]\0k=v\0"s, "k=top\r\n[S]\r\nk=v\0junk\r\nj=w"s}) {
        put(f);
        EXPECT_EQ(get("S", "k"), "v") << testing::PrintToString(f);
    }
    unlink(ini.c_str());
    EXPECT_EQ(get("S", "k"), "<def>");
}

/* A value is cut to size - 1; a list to size - 2 and two NULs, so the last
** string is cut but the list stays well formed.  Nothing goes past size. */
TEST_F(Profile, BuffersCutAsWindows)
{
    std::string list;
    put(sample(&list));
    ASSERT_GT(list.size(), 2000u);
    const std::string velmora = "Port=50080\0Name=Living Room\0Quoted=\"  spaced out  \"\0Single='x'\0"
                                "Mixed='x\"\0Lone=\"\0Inner=a \"b\" c\0Empty=\0Eq=a=b=c\0"
                                "Semi=value ; not a comment\0Bare line\0Twice=first\0Twice=second\0\0"s;
    const char *L = LINES;
    struct { const char *sec, *key, *def; unsigned long size, ret; std::string want; } cases[] = {
        {"S", "bb", "", 11, 10, "0123456789\0"s},
        {"S", "bb", "", 10, 9, "012345678\0"s},
        {"S", "bb", "", 1, 0, "\0"s},
        {"S", "none", "abc  ", 100, 3, "abc\0"s},       /* the default loses trailing blanks */
        {"S", "none", nullptr, 100, 0, "\0"s},
        {"S", "none", "abcdef", 4, 3, "abc\0"s},
        /* a section's lines: trimmed, comments and blank lines left out */
        {"velmora", L, "", 1000, 172, velmora},
        {"S", L, "", 19, 18, "a=1\0bb=0123456789\0\0"s},
        {"S", L, "", 18, 16, "a=1\0bb=012345678\0\0"s},
        {"S", L, "", 5, 3, "a=1\0\0"s},
        {"S", L, "", 2, 0, "\0\0"s},
        {"S", L, "", 1, 0, "\0"s},
        {"Nowhere", L, "", 10, 0, "\0\0"s},
        /* the 2000-byte buffer the options dialog reads [Links] into */
        {"links", L, "", 2000, 1998, list.substr(0, 1998) + "\0\0"s},
        /* key names, section names */
        {"Private", nullptr, "", 100, 18, "D:/Kids\0My Movies\0\0"s},
        {"Private", nullptr, "", 10, 8, "D:/Kids\0\0\0"s},
        {"Nowhere", nullptr, "none", 100, 4, "none\0"s},
        {nullptr, nullptr, "", 100, 47, "Velmora\0Private\0Spaced Section\0S\0Links\0velmora\0\0"s},
    };
    for (auto &c : cases) {
        unsigned long n;
        std::string got = fetch(c.sec, c.key, c.def, c.size, &n);
        std::string what = std::string(c.sec ? c.sec : "(null)") + " " + (c.key ? c.key : "(null)");
        EXPECT_EQ(n, c.ret) << what << " in " << c.size;
        EXPECT_EQ(got.substr(0, c.want.size()), c.want) << what << " in " << c.size;
    }
}

/* The whole file after each write: only the lines the write must change
** differ, whatever surrounds them, and no temporary file is left. */
TEST_F(Profile, WritesLeaveExactBytes)
{
    const std::string none = "(none)", junk = "\xFF\xFE junk\0\0 \x01\x7F=\r[A\r\n"s, longv(100000, 'x');
    struct { std::string before; const char *sec, *key, *value; std::string after; } cases[] = {
        {none, "Velmora", "Port", "50080", "[Velmora]\r\nPort=50080\r\n"},
        {none, "Velmora", "Port", nullptr, none},
        {none, "Velmora", nullptr, nullptr, none},
        /* new key after the section's last key, before the next one's comment */
        {"[A]\r\nx=1\r\n; about B\r\n\r\n[B]\r\ny=2\r\n", "A", "z", "3",
         "[A]\r\nx=1\r\nz=3\r\n; about B\r\n\r\n[B]\r\ny=2\r\n"},
        /* a replaced line keeps the file's spelling; other lines keep their LF */
        {"; hi\n[A]\nX = 1\ny=2\n", "a", "x", "5", "; hi\n[A]\nX=5\r\ny=2\n"},
        /* no final line end */
        {"[A]\r\nx=1", "A", "y", "2", "[A]\r\nx=1\r\ny=2\r\n"},
        {"[A]\r\nx=1", "A", "x", "2", "[A]\r\nx=2\r\n"},
        {"[A]\r\nx=1", "B", "y", "2", "[A]\r\nx=1\r\n[B]\r\ny=2\r\n"},
        {"[A]", "A", "x", "1", "[A]\r\nx=1\r\n"},
        {"[A]\r\n[B]\r\n", "A", "x", "1", "[A]\r\nx=1\r\n[B]\r\n"},
        {"[A]\r\nBare\r\n;c\r\n", "A", "x", "1", "[A]\r\nBare\r\nx=1\r\n;c\r\n"},
        {"[A]\r\nx=1\r\nx=2\r\n", "A", "x", "3", "[A]\r\nx=3\r\nx=2\r\n"},
        /* a section that appears twice: the write goes to the first */
        {"[A]\r\nx=1\r\n[B]\r\n[A]\r\ny=2\r\n", "A", "y", "3", "[A]\r\nx=1\r\ny=3\r\n[B]\r\n[A]\r\ny=2\r\n"},
        {"[Private]\r\nD:/Kids=1\r\n", " private ", " d:/kids ", "42", "[Private]\r\nD:/Kids=42\r\n"},
        {"[Private]\r\nD:/Kids=1\r\n", "Private", "My Movies", "7", "[Private]\r\nD:/Kids=1\r\nMy Movies=7\r\n"},
        /* a key goes with every line of it; a section with every occurrence */
        {"[A]\r\nx=1\r\ny=2\r\nX=9\r\n[B]\r\nx=3\r\n", "A", "x", nullptr, "[A]\r\ny=2\r\n[B]\r\nx=3\r\n"},
        {"[A]\r\nx=1\r\n", "B", "x", nullptr, "[A]\r\nx=1\r\n"},
        {"; top\r\n[A]\r\nx=1\r\n; c\r\n\r\n[B]\r\ny=2\r\n[a]\r\nz=3\r\n", "A", nullptr, nullptr,
         "; top\r\n[B]\r\ny=2\r\n"},
        {"[B]\r\ny=2\r\n[A]\r\nx=1", "A", nullptr, nullptr, "[B]\r\ny=2\r\n"},
        {"[B]\r\ny=2\r\n", "A", nullptr, nullptr, "[B]\r\ny=2\r\n"},
        /* a value cannot add lines to the file */
        {none, "A", "x", "1\r\n[B]\r\ny=2", "[A]\r\nx=1\r\n"},
        {none, "A", "x", "  padded  ", "[A]\r\nx=  padded  \r\n"},
        /* garbage and overlong lines survive byte for byte */
        {junk + "[A]\r\nx=1\r\n[Z]\r\n" + junk, "A", "y", "\"two words\"",
         junk + "[A]\r\nx=1\r\ny=\"two words\"\r\n[Z]\r\n" + junk},
        {"[A]\r\nlong=" + longv + "\r\n[" + longv + "]\r\nk=v", "A", "new", longv.c_str(),
         "[A]\r\nlong=" + longv + "\r\nnew=" + longv + "\r\n[" + longv + "]\r\nk=v"},
    };
    for (auto &c : cases) {
        unlink(ini.c_str());
        if (c.before != none) put(c.before);
        std::string what = c.before.substr(0, 40) + " <- [" + c.sec + "] " + (c.key ? c.key : "(null)") + "=" +
                           (c.value ? std::string(c.value).substr(0, 20) : "(null)");
        EXPECT_EQ(pal_write_private_profile_string(c.sec, c.key, c.value, ini.c_str()), 1) << what;
        EXPECT_EQ(c.after == none ? none : bytes(), c.after) << what;
        EXPECT_EQ(names(), c.after != none ? "Velmora.ini" : "") << what;
    }
    EXPECT_EQ(pal_write_private_profile_string(nullptr, nullptr, nullptr, ini.c_str()), 1);
    EXPECT_EQ(pal_write_private_profile_string(nullptr, "x", "1", ini.c_str()), 0);

    /* The file's mode and a symbolic link to it are kept; a write that cannot
    ** be made fails and leaves nothing behind. */
    put("[A]\r\nx=1\r\n");
    chmod(ini.c_str(), 0600);
    std::string link = dir + "/link.ini";
    ASSERT_EQ(symlink(ini.c_str(), link.c_str()), 0);
    ASSERT_EQ(pal_write_private_profile_string("A", "z", "3", link.c_str()), 1);
    struct stat st;
    EXPECT_TRUE(lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    EXPECT_TRUE(stat(ini.c_str(), &st) == 0 && (st.st_mode & 0777) == 0600) << std::oct << st.st_mode;
    EXPECT_EQ(bytes(), "[A]\r\nx=1\r\nz=3\r\n");
    unlink(link.c_str());
    EXPECT_EQ(pal_write_private_profile_string("A", "x", "1", (dir + "/no/such/Velmora.ini").c_str()), 0);
    EXPECT_EQ(pal_write_private_profile_string("A", "x", "1", dir.c_str()), 0);
    EXPECT_EQ(names(), "Velmora.ini");
}

/* Eight threads write keys into shared sections at once: no write is lost,
** and a reader never misses the key that was there before. */
TEST_F(Profile, ThreadsWritingOneFile)
{
    ASSERT_EQ(pal_write_private_profile_string("Base", "marker", "1", ini.c_str()), 1);
    auto key = [](int t, int k) { return "t" + std::to_string(t) + "_" + std::to_string(k); };
    auto sec = [](int t) { return "T" + std::to_string(t % 3); };
    std::atomic<int> done(0), bad(0);
    std::thread reader([&] {
        while (done < 8) bad += get("Base", "marker") != "1";
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 8; t++)
        writers.emplace_back([&, t] {
            for (int k = 0; k < 25; k++)
                bad += !pal_write_private_profile_string(sec(t).c_str(), key(t, k).c_str(), "1", ini.c_str());
            done++;
        });
    for (auto &w : writers) w.join();
    reader.join();
    EXPECT_EQ(bad.load(), 0);
    for (int t = 0; t < 8; t++)
        for (int k = 0; k < 25; k++) EXPECT_EQ(get(sec(t).c_str(), key(t, k).c_str()), "1") << key(t, k);
    EXPECT_EQ(names(), "Velmora.ini");
}

TEST_F(Profile, BatchReplacesTheFileOnceAndHoldsOtherWriters)
{
    put("[A]\r\nold=1\r\n");
    ASSERT_EQ(pal_profile_begin(ini.c_str()), 1);
    EXPECT_EQ(pal_profile_begin(ini.c_str()), 0);          /* no nesting */
    EXPECT_EQ(pal_write_private_profile_string("A", nullptr, nullptr, ini.c_str()), 1);
    EXPECT_EQ(pal_write_private_profile_string("A", "new", "2", ini.c_str()), 1);
    EXPECT_EQ(get("A", "new"), "2");                        /* the owner sees its batch */
    EXPECT_EQ(bytes(), "[A]\r\nold=1\r\n");                 /* the disk does not yet */
    std::atomic<bool> wrote(false);
    std::thread other([&] { wrote = pal_write_private_profile_string("B", "k", "v", ini.c_str()); });
    pal_sleep(50);
    EXPECT_FALSE(wrote.load());
    EXPECT_EQ(pal_profile_end(ini.c_str()), 1);
    other.join();
    EXPECT_EQ(bytes(), "[A]\r\nnew=2\r\n[B]\r\nk=v\r\n");
    EXPECT_EQ(pal_profile_end(ini.c_str()), 0);
    EXPECT_EQ(names(), "Velmora.ini");
}

/* A rewriting child is killed at random while we write: the file stays whole, our
** write is kept, and a left temporary file goes with the next write. */
TEST_F(Profile, KilledWriterLeavesWholeFileAndLosesNoOtherWrite)
{
    const int keys = 40;
    const std::string tail = "[Tail]\r\nend=1\r\n";
    std::string start = "; kept\r\n[Data]\r\n";
    for (int k = 0; k < keys; k++) start += "k" + std::to_string(k) + "=init\r\n";
    put(start + tail);
    std::mt19937 rng(12345);
    int mid_write = 0;
    for (int round = 0; round < 200; round++) {
        unsigned seed = rng();
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            for (std::mt19937 r(seed);;) {
                std::string k = "k" + std::to_string(r() % keys), v = "v" + std::string(r() % 300, 'p');
                pal_write_private_profile_string("Data", k.c_str(), v.c_str(), ini.c_str());
            }
        usleep(100 + rng() % 2000);
        EXPECT_EQ(pal_write_private_profile_string("Data", "parent", std::to_string(round).c_str(), ini.c_str()), 1);
        usleep(100 + rng() % 2000);
        kill(pid, SIGKILL);
        ASSERT_EQ(waitpid(pid, nullptr, 0), pid);

        std::string b = bytes(), left = names();
        ASSERT_EQ(b.substr(0, 8), "; kept\r\n") << "round " << round;
        ASSERT_TRUE(b.size() > tail.size() && b.substr(b.size() - tail.size()) == tail) << "round " << round;
        ASSERT_EQ(get("Data", "parent"), std::to_string(round));
        for (int k = 0; k < keys; k++)
            ASSERT_NE(get("Data", ("k" + std::to_string(k)).c_str()), "<def>") << "round " << round << " k" << k;
        ASSERT_TRUE(left == "Velmora.ini" || left == "Velmora.ini Velmora.ini.tmp") << left;
        mid_write += left != "Velmora.ini";
    }
    EXPECT_GT(mid_write, 0);   /* some kills landed inside a rewrite */
    ASSERT_EQ(pal_write_private_profile_string("Data", "k0", "after", ini.c_str()), 1);
    EXPECT_EQ(get("Data", "k0"), "after");
    EXPECT_EQ(names(), "Velmora.ini");
}
