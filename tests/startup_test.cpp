/*
** Start-up: the option letters from the command line and options.txt, the
** argument list and the names of the user and the machine.
*/
#include <gtest/gtest.h>

#include "global.h"
#include "main.h"

static std::string letters(const char *text, int dash_only)
{
    options = 0;
    Set_Options(text, dash_only);
    char out[32];
    Option_Text(out, sizeof out);
    return out;
}

TEST(Startup, OptionLetters)
{
    EXPECT_EQ(letters("-ST", 1), "ST");
    EXPECT_EQ(letters("-s -t", 1), "ST");
    EXPECT_EQ(letters("st -m", 1), "M");          /* a word without "-" sets nothing */
    EXPECT_EQ(letters("st -m", 0), "MST");        /* options.txt: every letter counts */
    EXPECT_EQ(letters("-a1b?c", 1), "ABC");       /* other characters have no bit */
    EXPECT_EQ(letters("-z", 1), "");              /* Z is never listed */
    EXPECT_TRUE(options & 1u);
    options = 0;
    Set_Options("-a", 1);
    EXPECT_EQ(options, 1u << 25);
    options = 0;
}

TEST(Startup, ArgumentListSplitsAtSingleBlanks)
{
    EXPECT_EQ(Split_Args("  -s  -t"), 4);
    EXPECT_STREQ(Args[0], "Velmora");
    EXPECT_STREQ(Args[1], "-s");
    EXPECT_STREQ(Args[2], "");
    EXPECT_STREQ(Args[3], "-t");
    EXPECT_EQ(Split_Args(""), 1);
    std::string many;
    for (int i = 0; i < 30; i++) many += "w ";
    EXPECT_EQ(Split_Args(many.c_str()), MAX_ARGS);
}

TEST(Startup, UserAndMachineNames)
{
    char mach[80] = "MYPC.home.lan";
    Cap_Mach(mach);
    EXPECT_STREQ(mach, "Mypc");
    char plain[80] = "den";
    Cap_Mach(plain);
    EXPECT_STREQ(plain, "Den");
    char user[80] = "james mcDonald";
    Cap_User(user);
    EXPECT_STREQ(user, "James mcDonald");
    char empty[80] = "";
    Cap_Mach(empty);
    Cap_User(empty);
    EXPECT_STREQ(empty, "");
}
