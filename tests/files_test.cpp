/* The file layer: both spellings of a name, temporary files, positions beyond 4 GB. */
#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <thread>
#include <vector>

#include "global.h"
#include "helpers.h"
#include "subs/files.h"
#include "subs/text.h"
#include "subs/trace.h"

static std::vector<std::string> names_in(const std::string &dir)
{
    std::vector<std::string> out;
    MY_DIR *d = My_opendir(dir.c_str());
    if (!d) return out;
    while (my_dirent *e = My_readdir(d))
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) out.push_back(e->d_name);
    My_closedir(d);
    return out;
}

TEST(Files, BothSpellingsOfANameOpenTheSameFile)
{
    std::string dir = temp_folder();
    FILE *f = My_fopen((dir + "/caf\xC3\xA9.txt").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("coffee", f);
    fclose(f);
    f = My_fopen((dir + "/caf\xE9.txt").c_str(), "r");
    ASSERT_NE(f, nullptr);
    char buf[16] = {0};
    fgets(buf, sizeof buf, f);
    fclose(f);
    EXPECT_STREQ(buf, "coffee");
    My_Stat_Buf st;
    EXPECT_EQ(My_stat((dir + "/caf\xE9.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 6);

    /* A listing gives UTF-8 names; a name that is not UTF-8 on disk still
    ** comes back in a form that opens it again. */
    write_file(dir + "/raw\xFF.bin", "x");
    for (const std::string &n : names_in(dir)) {
        FILE *g = My_fopen((dir + "/" + n).c_str(), "r");
        EXPECT_NE(g, nullptr) << n;
        if (g) fclose(g);
    }
    EXPECT_EQ(names_in(dir).size(), 2u);
}

/* A file written whole replaces what was there, longer or shorter; one that
** cannot be made is an error and leaves nothing. */
TEST(Files, WrittenWholeReplacesAndAFailureLeavesNothing)
{
    std::string dir = temp_folder(), path = dir + "/whole.txt";
    std::string first(100000, 'a');
    ASSERT_EQ(Write_Whole(path.c_str(), first.data(), first.size()), 0);
    EXPECT_EQ(read_file(path), first);
    ASSERT_EQ(Write_Whole(path.c_str(), "short", 5), 0);
    EXPECT_EQ(read_file(path), "short");
    EXPECT_NE(Write_Whole((dir + "/missing/whole.txt").c_str(), "x", 1), 0);
    EXPECT_EQ(names_in(dir), std::vector<std::string>{"whole.txt"});
}

TEST(Files, TemporaryFilesAreUniqueAndOnlyTheyAreDropped)
{
    std::string dir = temp_folder();
    scopy(Roku_Path, sizeof Roku_Path, dir.c_str());
    std::vector<std::thread> ts;
    for (int t = 0; t < 8; t++)
        ts.emplace_back([] {
            for (int i = 0; i < 25; i++) fclose(get_temp_file());
        });
    for (auto &t : ts) t.join();
    std::vector<std::string> names = names_in(dir);
    EXPECT_EQ(names.size(), 200u);
    for (const std::string &n : names) EXPECT_EQ(n.compare(0, 5, "Roku-"), 0) << n;

    write_file(dir + "/keep.txt", "x");
    write_file(dir + "/roku-lower", "x");
    for (int i = 0; i < 20; i++) Drop_Temp();
    std::set<std::string> left;
    for (const std::string &n : names_in(dir)) left.insert(n);
    EXPECT_EQ(left, (std::set<std::string>{"keep.txt", "roku-lower"}));
}

TEST(Files, SeekBeyondFourGigabytes)
{
    std::string dir = temp_folder();
    std::string path = dir + "/big.bin";
    const int64_t size = 5LL * 1024 * 1024 * 1024 + 7;
    FILE *f = My_fopen(path.c_str(), "wb+");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(My_fseek64(f, size - 10, 0), 0);
    fputs("0123456789", f);             /* a sparse file: only the tail is real */
    ASSERT_EQ(My_fseek64(f, -10, 2), 0);
    char buf[11] = {0};
    ASSERT_EQ(fread(buf, 1, 10, f), 10u);
    EXPECT_STREQ(buf, "0123456789");
    ASSERT_EQ(My_fseek64(f, -4, 1), 0);
    EXPECT_EQ(fgetc(f), '6');
    errno = 0;
    EXPECT_EQ(My_fseek64(f, 0, 3), -1);
    EXPECT_EQ(errno, 22);
    fclose(f);
    My_remove(path.c_str());
}
