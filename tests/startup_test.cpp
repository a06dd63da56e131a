/*
** Start-up: the option letters from the command line and options.txt, the
** argument list and the names of the user and the machine.
*/
#include <gtest/gtest.h>

#include "global.h"
#include "main.h"
#include "subs/text.h"

static std::string letters(const char *text, int dash_only)
{
    options = 0;
    Set_Options(text, dash_only);
    char out[32];
    Option_Text(out, sizeof out);
    return out;
}

/* Letters on the command line need a "-"; in options.txt every letter
** counts; other characters have no bit and Z is never listed. */
TEST(Startup, OptionLetters)
{
    for (auto [text, dash_only, want] : {std::tuple{"-ST", 1, "ST"}, {"-s -t", 1, "ST"}, {"st -m", 1, "M"},
                                         {"st -m", 0, "MST"}, {"-a1b?c", 1, "ABC"}, {"-z", 1, ""}})
        EXPECT_EQ(letters(text, dash_only), want) << text;
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

