/*
** Tests of the profile (INI) functions against the way Windows reads and
** writes the same files: lookups, section lists cut to the caller's buffer,
** the exact bytes a write leaves, bad input, threads and processes writing
** one file, and a writer killed at random moments.
*/
#include "global.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace std::string_literals;

/* A fresh folder per test with Velmora.ini in it. */
class Profile : public ::testing::Test {
protected:
    std::string dir, ini;

    void SetUp() override
    {
        char tmpl[] = "/tmp/velmora_profile_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        ini = dir + "/Velmora.ini";
    }
    void TearDown() override
    {
        for (const std::string &n : names())
            unlink((dir + "/" + n).c_str());
        rmdir(dir.c_str());
    }

    /* The file's names in the folder. */
    std::vector<std::string> names() const
    {
        std::vector<std::string> v;
        DIR *d = opendir(dir.c_str());
        if (!d)
            return v;
        while (dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
                v.push_back(e->d_name);
        closedir(d);
        return v;
    }
    void put(const std::string &bytes) const
    {
        FILE *f = fopen(ini.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
    }
    bool exists() const { return access(ini.c_str(), F_OK) == 0; }
    std::string bytes() const
    {
        std::string s;
        FILE *f = fopen(ini.c_str(), "rb");
        if (!f)
            return s;
        char chunk[65536];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
            s.append(chunk, n);
        fclose(f);
        return s;
    }
    std::string get(const char *sec, const char *key, const char *def = "<def>") const
    {
        char buf[1000];
        unsigned long n = pal_get_private_profile_string(sec, key, def, buf, sizeof buf, ini.c_str());
        EXPECT_EQ(n, strlen(buf));
        return std::string(buf, n);
    }
    /* The section list as returned, with the count; the buffer is checked
    ** for writes past size. */
    std::string section(const char *sec, unsigned long size, unsigned long *ret) const
    {
        std::vector<char> buf(size + 16, 'Z');
        *ret = pal_get_private_profile_section(sec, buf.data(), size, ini.c_str());
        for (size_t i = size; i < buf.size(); i++)
            EXPECT_EQ(buf[i], 'Z') << "write past the buffer at " << i;
        return std::string(buf.data(), size);
    }
};

/* ------------------------------------------------------------- lookups */

static const char *const sample =
    "; Velmora settings\r\n"
    "[Velmora]\r\n"
    "Port=50080\r\n"
    "  Name  =  Living Room  \r\n"
    "Quoted=\"  spaced out  \"\r\n"
    "Single='x'\r\n"
    "Mixed='x\"\r\n"
    "Lone=\"\r\n"
    "Inner=a \"b\" c\r\n"
    "Empty=\r\n"
    "Eq=a=b=c\r\n"
    "Semi=value ; not a comment\r\n"
    ";Hidden=1\r\n"
    "   ; Indented=1\r\n"
    "Bare line\r\n"
    "Twice=first\r\n"
    "Twice=second\r\n"
    "\r\n"
    "[Private]\r\n"
    "D:/Kids = 1234\r\n"
    "My Movies=9999\r\n"
    "[ Spaced Section ]\r\n"
    "k=v\r\n"
    "[velmora]\r\n"
    "Late=only in the second occurrence\r\n"
    "Port=1\r\n";

TEST_F(Profile, LookupsAsWindows)
{
    put(sample);
    struct { const char *sec, *key, *want; } cases[] = {
        {"Velmora", "Port", "50080"},
        {"VELMORA", "port", "50080"},             /* case-insensitive */
        {" Velmora ", " Port ", "50080"},          /* caller's blanks trimmed */
        {"Velmora", "Name", "Living Room"},        /* blanks around both trimmed */
        {"Velmora", "Quoted", "  spaced out  "},   /* one pair of quotes off */
        {"Velmora", "Single", "x"},
        {"Velmora", "Mixed", "'x\""},              /* unmatched: kept */
        {"Velmora", "Lone", "\""},
        {"Velmora", "Inner", "a \"b\" c"},
        {"Velmora", "Empty", ""},                  /* present: not the default */
        {"Velmora", "Eq", "a=b=c"},
        {"Velmora", "Semi", "value ; not a comment"},
        {"Velmora", "Hidden", "<def>"},            /* comments */
        {"Velmora", ";Hidden", "<def>"},
        {"Velmora", "Indented", "<def>"},
        {"Velmora", "Bare line", "<def>"},         /* no "=": no key */
        {"Velmora", "Twice", "first"},
        {"Velmora", "Late", "<def>"},              /* second occurrence unseen */
        {"Velmora", "Missing", "<def>"},
        {"Private", "D:/Kids", "1234"},
        {"private", "d:/kids", "1234"},
        {"Private", "My Movies", "9999"},
        {"Private", "Port", "<def>"},              /* stops at its section's end */
        {"Spaced Section", "k", "v"},
        {"Nowhere", "Port", "<def>"},
    };
    for (auto &c : cases)
        EXPECT_EQ(get(c.sec, c.key), c.want) << "[" << c.sec << "] " << c.key;
}

TEST_F(Profile, LineEndsAndOddBytes)
{
    struct { std::string ini; const char *key, *want; } cases[] = {
        {"[S]\r\nk=v", "k", "v"},                       /* no final line end */
        {"[S]\nk=v\n", "k", "v"},
        {"[S]\rk=v\r", "k", "v"},
        {"[S]\r\r\nk=v\r\r\n", "k", "v"},
        {"\xEF\xBB\xBF[S]\r\nk=v\r\n", "k", "v"},      /* UTF-8 byte-order mark */
        {"k=top\r\n[S]\r\nj=v\r\n", "k", "<def>"},     /* before any header */
        {"[S]\r\nk=v\0junk\r\nj=w"s, "k", "v"},         /* NUL ends the line */
        {"[S]\r\nk=v\0junk\r\nj=w"s, "j", "w"},
        {"[S]\r\n[T\r\nk=v\r\n", "k", "v"},             /* "[" without "]" */
        {"[S] ; note\r\nk=v\r\n", "k", "v"},
        {"\0\0\0[S]\0k=v\0"s, "k", "v"},
        {"", "k", "<def>"},
    };
    for (auto &c : cases) {
        put(c.ini);
        EXPECT_EQ(get("S", c.key), c.want) << testing::PrintToString(c.ini);
    }
    unlink(ini.c_str());
    EXPECT_EQ(get("S", "k"), "<def>");
}

/* GetPrivateProfileString cuts to size - 1 and says so; the default loses
** its trailing blanks; nothing is written past size. */
TEST_F(Profile, StringCutToBuffer)
{
    put("[S]\r\nk=0123456789\r\n");
    struct { const char *key, *def; unsigned long size, ret; const char *want; } cases[] = {
        {"k", "", 11, 10, "0123456789"},
        {"k", "", 10, 9, "012345678"},
        {"k", "", 5, 4, "0123"},
        {"k", "", 1, 0, ""},
        {"none", "abc  ", 100, 3, "abc"},
        {"none", nullptr, 100, 0, ""},
        {"none", "abcdef", 4, 3, "abc"},
    };
    for (auto &c : cases) {
        std::vector<char> buf(c.size + 8, 'Z');
        unsigned long n = pal_get_private_profile_string("S", c.key, c.def, buf.data(), c.size, ini.c_str());
        EXPECT_EQ(n, c.ret) << c.key << " in " << c.size;
        EXPECT_STREQ(buf.data(), c.want);
        for (size_t i = c.size; i < buf.size(); i++)
            EXPECT_EQ(buf[i], 'Z');
    }
    EXPECT_EQ(pal_get_private_profile_string("S", "k", "", nullptr, 10, ini.c_str()), 0u);
}

TEST_F(Profile, SectionList)
{
    put(sample);
    unsigned long n;
    std::string want = "Port=50080\0Name=Living Room\0Quoted=\"  spaced out  \"\0Single='x'\0"
                       "Mixed='x\"\0Lone=\"\0Inner=a \"b\" c\0Empty=\0Eq=a=b=c\0"
                       "Semi=value ; not a comment\0Bare line\0Twice=first\0Twice=second\0\0"s;
    std::string got = section("velmora", want.size(), &n);
    EXPECT_EQ(n, want.size() - 1);
    EXPECT_EQ(got, want);

    got = section("Nowhere", 10, &n);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(got.substr(0, 2), "\0\0"s);

    /* Around the exact fit: "a=1\0bb=22\0" and the final NUL are 11. */
    put("[S]\r\n a = 1 \r\n;c\r\n\r\nbb=22");
    struct { unsigned long size, ret; std::string want; } cut[] = {
        {11, 10, "a=1\0bb=22\0\0"s},
        {10, 8, "a=1\0bb=2\0\0"s},
        {6, 4, "a=1\0\0\0"s},
        {5, 3, "a=1\0\0"s},
        {2, 0, "\0\0"s},
        {1, 0, "\0"s},
    };
    for (auto &c : cut) {
        EXPECT_EQ(section("S", c.size, &n), c.want) << c.size;
        EXPECT_EQ(n, c.ret) << c.size;
    }
}

/* A section larger than the 2000-byte buffer the options dialog reads it
** into: the first 1998 characters of the list, then two NULs. */
TEST_F(Profile, SectionLargerThanBuffer)
{
    std::string file = "[Other]\r\nx=1\r\n[Links]\r\n", list;
    for (int i = 0; i < 120; i++) {
        std::string k = "Title " + std::to_string(i), v = "/srv/media/folder number " + std::to_string(i);
        file += k + " = " + v + "\r\n";
        list += k + "=" + v + '\0';
    }
    put(file + "[After]\r\ny=2\r\n");
    ASSERT_GT(list.size(), 2000u);
    unsigned long n;
    std::string got = section("links", 2000, &n);
    EXPECT_EQ(n, 1998u);
    EXPECT_EQ(got.substr(0, 1998), list.substr(0, 1998));
    EXPECT_EQ(got.substr(1998), "\0\0"s);

    got = section("links", list.size() + 1, &n);
    EXPECT_EQ(n, list.size());
    EXPECT_EQ(got, list + '\0');
}

TEST_F(Profile, NameLists)
{
    put(sample);
    char buf[100];
    unsigned long n = pal_get_private_profile_string("Private", nullptr, "", buf, sizeof buf, ini.c_str());
    EXPECT_EQ(std::string(buf, n + 1), "D:/Kids\0My Movies\0\0"s);
    n = pal_get_private_profile_string("Private", nullptr, "", buf, 10, ini.c_str());
    EXPECT_EQ(n, 8u);
    EXPECT_EQ(std::string(buf, 10), "D:/Kids\0\0\0"s);
    n = pal_get_private_profile_string("Nowhere", nullptr, "none", buf, sizeof buf, ini.c_str());
    EXPECT_EQ(std::string(buf, n), "none");
    n = pal_get_private_profile_string(nullptr, nullptr, "", buf, sizeof buf, ini.c_str());
    EXPECT_EQ(std::string(buf, n + 1), "Velmora\0Private\0Spaced Section\0velmora\0\0"s);
}

/* --------------------------------------------------------------- writes */

TEST_F(Profile, WritesLeaveExactBytes)
{
    const char *none = nullptr;   /* no file before, or none after */
    struct { const char *before, *sec, *key, *value, *after; } cases[] = {
        {none, "Velmora", "Port", "50080", "[Velmora]\r\nPort=50080\r\n"},
        {none, "Velmora", "Port", nullptr, none},
        {none, "Velmora", nullptr, nullptr, none},
        /* new key after the section's last key, before the next one's comment */
        {"[A]\r\nx=1\r\n; about B\r\n\r\n[B]\r\ny=2\r\n", "A", "z", "3",
         "[A]\r\nx=1\r\nz=3\r\n; about B\r\n\r\n[B]\r\ny=2\r\n"},
        /* a replaced line keeps the file's spelling; other lines keep their LF */
        {"; hi\n[A]\nX = 1\ny=2\n", "a", "x", "5", "; hi\n[A]\nX=5\r\ny=2\n"},
        {"[A]\r\nx=1", "A", "y", "2", "[A]\r\nx=1\r\ny=2\r\n"},
        {"[A]\r\nx=1", "A", "x", "2", "[A]\r\nx=2\r\n"},
        {"[A]\r\nx=1", "B", "y", "2", "[A]\r\nx=1\r\n[B]\r\ny=2\r\n"},
        {"[A]\r\n[B]\r\n", "A", "x", "1", "[A]\r\nx=1\r\n[B]\r\n"},
        {"[A]", "A", "x", "1", "[A]\r\nx=1\r\n"},
        {"[A]\r\nBare\r\n;c\r\n", "A", "x", "1", "[A]\r\nBare\r\nx=1\r\n;c\r\n"},
        {"[A]\r\nx=1\r\nx=2\r\n", "A", "x", "3", "[A]\r\nx=3\r\nx=2\r\n"},
        /* a duplicated section: the write goes to the first */
        {"[A]\r\nx=1\r\n[B]\r\n[A]\r\ny=2\r\n", "A", "y", "3",
         "[A]\r\nx=1\r\ny=3\r\n[B]\r\n[A]\r\ny=2\r\n"},
        {"[Private]\r\nD:/Kids=1\r\n", " private ", " d:/kids ", "42", "[Private]\r\nD:/Kids=42\r\n"},
        {"[Private]\r\nD:/Kids=1\r\n", "Private", "My Movies", "7",
         "[Private]\r\nD:/Kids=1\r\nMy Movies=7\r\n"},
        /* deletions */
        {"[A]\r\nx=1\r\ny=2\r\nX=9\r\n[B]\r\nx=3\r\n", "A", "x", nullptr, "[A]\r\ny=2\r\n[B]\r\nx=3\r\n"},
        {"[A]\r\nx=1\r\n", "A", "q", nullptr, "[A]\r\nx=1\r\n"},
        {"[A]\r\nx=1\r\n", "B", "x", nullptr, "[A]\r\nx=1\r\n"},
        {"; top\r\n[A]\r\nx=1\r\n; c\r\n\r\n[B]\r\ny=2\r\n[a]\r\nz=3\r\n", "A", nullptr, nullptr,
         "; top\r\n[B]\r\ny=2\r\n"},
        {"[B]\r\ny=2\r\n[A]\r\nx=1", "A", nullptr, nullptr, "[B]\r\ny=2\r\n"},
        {"[B]\r\ny=2\r\n", "A", nullptr, nullptr, "[B]\r\ny=2\r\n"},
        /* a value cannot add lines to the file */
        {none, "A", "x", "1\r\n[B]\r\ny=2", "[A]\r\nx=1\r\n"},
        {none, "A", "x", "  padded  ", "[A]\r\nx=  padded  \r\n"},
    };
    for (auto &c : cases) {
        unlink(ini.c_str());
        if (c.before)
            put(c.before);
        std::string what = std::string(c.before ? c.before : "(none)") + " <- [" + c.sec + "] " +
                           (c.key ? c.key : "(null)") + "=" + (c.value ? c.value : "(null)");
        EXPECT_EQ(pal_write_private_profile_string(c.sec, c.key, c.value, ini.c_str()), 1) << what;
        if (c.after)
            EXPECT_EQ(bytes(), c.after) << what;
        else
            EXPECT_FALSE(exists()) << what;
        EXPECT_EQ(names().size(), exists() ? 1u : 0u) << "a temporary file was left: " << what;
    }
    EXPECT_EQ(pal_write_private_profile_string(nullptr, nullptr, nullptr, ini.c_str()), 1);
    EXPECT_EQ(pal_write_private_profile_string(nullptr, "x", "1", ini.c_str()), 0);
}

/* What is written reads back, and garbage around it survives byte for byte. */
TEST_F(Profile, WritesKeepWhatTheyDoNotTouch)
{
    std::string junk = "\xFF\xFE junk\0\0 \x01\x7F=\r[A\r\n"s;
    put(junk + "[A]\r\nx=1\r\n[Z]\r\n" + junk);
    ASSERT_EQ(pal_write_private_profile_string("A", "y", "\"two words\"", ini.c_str()), 1);
    EXPECT_EQ(bytes(), junk + "[A]\r\nx=1\r\ny=\"two words\"\r\n[Z]\r\n" + junk);
    EXPECT_EQ(get("a", "Y"), "two words");

    chmod(ini.c_str(), 0600);
    ASSERT_EQ(pal_write_private_profile_string("A", "x", "2", ini.c_str()), 1);
    struct stat st;
    ASSERT_EQ(stat(ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    /* Through a symbolic link the link stays and its target changes. */
    std::string link = dir + "/link.ini";
    ASSERT_EQ(symlink(ini.c_str(), link.c_str()), 0);
    ASSERT_EQ(pal_write_private_profile_string("A", "z", "3", link.c_str()), 1);
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(get("A", "z"), "3");
    unlink(link.c_str());

    std::string nodir = dir + "/no/such/Velmora.ini";
    EXPECT_EQ(pal_write_private_profile_string("A", "x", "1", nodir.c_str()), 0);
    EXPECT_EQ(pal_write_private_profile_string("A", "x", "1", dir.c_str()), 0);
    EXPECT_EQ(names().size(), 1u);
}

/* ------------------------------------------------------------ bad input */

TEST_F(Profile, LongLinesAndLargeFiles)
{
    std::string longv(100000, 'x');
    put("[A]\r\nlong=" + longv + "\r\nafter=1\r\n[" + longv + "]\r\nk=v");
    EXPECT_EQ(get("A", "long"), longv.substr(0, 999));
    EXPECT_EQ(get("A", "after"), "1");
    EXPECT_EQ(get(longv.c_str(), "k"), "v");
    unsigned long n;
    section("A", 2000, &n);
    EXPECT_EQ(n, 1998u);
    ASSERT_EQ(pal_write_private_profile_string("A", "new", longv.c_str(), ini.c_str()), 1);
    EXPECT_EQ(bytes(), "[A]\r\nlong=" + longv + "\r\nafter=1\r\nnew=" + longv + "\r\n[" + longv + "]\r\nk=v");

    /* 10 MB of random bytes (no "[" among them) ahead of the section. */
    std::mt19937 rng(7);
    std::string noise(10 * 1024 * 1024, 0);
    for (char &c : noise) {
        c = (char)(rng() & 0xFF);
        if (c == '[')
            c = ']';
    }
    put(noise + "\n[End]\r\nk=v\r\n");
    EXPECT_EQ(get("End", "k"), "v");
    ASSERT_EQ(pal_write_private_profile_string("End", "k2", "w", ini.c_str()), 1);
    EXPECT_EQ(bytes(), noise + "\n[End]\r\nk=v\r\nk2=w\r\n");
}

/* Small random files, every call: the counts and terminators hold. */
TEST_F(Profile, RandomBytesNeverBreakTheContract)
{
    std::mt19937 rng(11);
    const char alphabet[] = "[]=;\"' \t\r\n\0aAbB:/";
    for (int round = 0; round < 300; round++) {
        std::string f(rng() % 200, 0);
        for (char &c : f)
            c = (rng() & 1) ? (char)(rng() & 0xFF) : alphabet[rng() % (sizeof alphabet - 1)];
        put(f);
        for (unsigned long size : {1ul, 2ul, 3ul, 17ul, 300ul}) {
            std::vector<char> buf(size + 8, 'Z');
            unsigned long n = pal_get_private_profile_string("a", "b", "d", buf.data(), size, ini.c_str());
            ASSERT_LT(n, size);
            ASSERT_EQ(buf[n], 0);
            n = pal_get_private_profile_section("A", buf.data(), size, ini.c_str());
            ASSERT_LT(n, size);
            ASSERT_EQ(buf[n], 0);
            /* two NULs: the last string's and the final one, or, when cut,
            ** the two after the count */
            if (size >= 2) {
                ASSERT_TRUE((n > 0 && buf[n - 1] == 0) || (n + 1 < size && buf[n + 1] == 0));
            }
            for (size_t i = size; i < buf.size(); i++)
                ASSERT_EQ(buf[i], 'Z');
        }
        ASSERT_EQ(pal_write_private_profile_string("A", "b", "written", ini.c_str()), 1);
        ASSERT_EQ(get("a", "B"), "written") << testing::PrintToString(f);
    }
}

/* ---------------------------------------------- threads and processes */

TEST_F(Profile, ThreadsWritingOneFile)
{
    ASSERT_EQ(pal_write_private_profile_string("Base", "marker", "1", ini.c_str()), 1);
    const int threads = 8, keys = 25;
    std::atomic<int> done(0), bad(0);
    std::thread reader([&] {
        while (done.load() < threads)
            if (get("Base", "marker") != "1")
                bad++;
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; t++)
        writers.emplace_back([&, t] {
            std::string sec = "T" + std::to_string(t % 3);   /* sections shared */
            for (int k = 0; k < keys; k++) {
                std::string key = "k" + std::to_string(t) + "_" + std::to_string(k);
                if (!pal_write_private_profile_string(sec.c_str(), key.c_str(), key.c_str(), ini.c_str()))
                    bad++;
            }
            done++;
        });
    for (auto &w : writers)
        w.join();
    reader.join();
    EXPECT_EQ(bad.load(), 0);
    for (int t = 0; t < threads; t++)
        for (int k = 0; k < keys; k++) {
            std::string sec = "T" + std::to_string(t % 3), key = "k" + std::to_string(t) + "_" + std::to_string(k);
            EXPECT_EQ(get(sec.c_str(), key.c_str()), key);
        }
    EXPECT_EQ(names().size(), 1u);
}

TEST_F(Profile, BatchReplacesTheFileOnceAndHoldsOtherWriters)
{
    put("[A]\r\nold=1\r\n");
    const std::string before = bytes();
    ASSERT_EQ(pal_profile_begin(ini.c_str()), 1);
    EXPECT_EQ(pal_profile_begin(ini.c_str()), 0);          /* no nesting */
    ASSERT_EQ(pal_write_private_profile_string("A", nullptr, nullptr, ini.c_str()), 1);
    ASSERT_EQ(pal_write_private_profile_string("A", "new", "2", ini.c_str()), 1);
    EXPECT_EQ(get("A", "new"), "2");                        /* the owner sees its batch */
    EXPECT_EQ(bytes(), before);                             /* the disk does not yet */
    std::atomic<bool> wrote(false);
    std::thread other([&] {
        pal_write_private_profile_string("B", "k", "v", ini.c_str());
        wrote = true;
    });
    pal_sleep(50);
    EXPECT_FALSE(wrote.load());
    ASSERT_EQ(pal_profile_end(ini.c_str()), 1);
    other.join();
    EXPECT_EQ(bytes(), "[A]\r\nnew=2\r\n[B]\r\nk=v\r\n");
    EXPECT_EQ(pal_profile_end(ini.c_str()), 0);
    EXPECT_EQ(names().size(), 1u);
}

TEST_F(Profile, ProcessesWritingOneFile)
{
    const int procs = 3, keys = 20;
    std::vector<pid_t> kids;
    for (int p = 0; p < procs; p++) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int fails = 0;
            for (int k = 0; k < keys; k++) {
                std::string key = "p" + std::to_string(p) + "_" + std::to_string(k);
                fails += !pal_write_private_profile_string("Shared", key.c_str(), "1", ini.c_str());
            }
            _exit(fails);
        }
        kids.push_back(pid);
    }
    for (pid_t pid : kids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int p = 0; p < procs; p++)
        for (int k = 0; k < keys; k++) {
            std::string key = "p" + std::to_string(p) + "_" + std::to_string(k);
            EXPECT_EQ(get("Shared", key.c_str()), "1") << key;
        }
}

/* A child rewrites the file without pause and is killed at random moments:
** every time the file is whole (all keys, the closing section last), and at
** most the one temporary file is left beside it. */
TEST_F(Profile, KilledWriterLeavesWholeFile)
{
    const int keys = 40, kills = 200;
    std::string start = "; kept\r\n[Data]\r\n";
    for (int k = 0; k < keys; k++)
        start += "k" + std::to_string(k) + "=init\r\n";
    const std::string tail = "[Tail]\r\nend=1\r\n";
    put(start + tail);

    std::mt19937 rng(12345);
    int mid_write = 0;
    for (int round = 0; round < kills; round++) {
        unsigned seed = rng();
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::mt19937 r(seed);
            for (unsigned n = 0;; n++) {
                std::string key = "k" + std::to_string(r() % keys);
                std::string value = "v" + std::to_string(n) + std::string(r() % 300, 'p');
                pal_write_private_profile_string("Data", key.c_str(), value.c_str(), ini.c_str());
            }
        }
        usleep(200 + rng() % 4000);
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status));

        std::string b = bytes();
        ASSERT_GE(b.size(), tail.size());
        ASSERT_EQ(b.substr(0, start.find('[')), "; kept\r\n");
        ASSERT_EQ(b.substr(b.size() - tail.size()), tail) << "round " << round;
        ASSERT_EQ(get("Tail", "end"), "1");
        for (int k = 0; k < keys; k++) {
            std::string v = get("Data", ("k" + std::to_string(k)).c_str());
            ASSERT_TRUE(v == "init" || v[0] == 'v') << "round " << round << " k" << k << "=" << v;
        }
        std::vector<std::string> left = names();
        ASSERT_LE(left.size(), 2u);
        for (const std::string &n : left)
            ASSERT_TRUE(n == "Velmora.ini" || n == "Velmora.ini.tmp") << n;
        mid_write += left.size() == 2;
    }
    std::printf("[          ] %d kills, %d of them during a rewrite\n", kills, mid_write);
    EXPECT_GT(mid_write, 0);

    /* The next write goes through and takes the leftover with it. */
    ASSERT_EQ(pal_write_private_profile_string("Data", "k0", "after", ini.c_str()), 1);
    EXPECT_EQ(get("Data", "k0"), "after");
    EXPECT_EQ(names().size(), 1u);
}
