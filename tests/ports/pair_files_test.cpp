// The texts and files of the pair layer: only canonical names and strict
// parameter texts are taken. Reading pairs.dat at any size is checked with
// the built program on damaged files.
#include <gtest/gtest.h>

#include "ports/pair_files.h"
#include "ports/pair_text.h"

using namespace std::string_literals;

TEST(PairFiles, HostileAndMalformedLinesNamesAndParameterTextsAreSkipped)
{
    const std::string content =
        "3\tPortName=COM3,OverrunCheck=yes\n1\t\r\n2\tPortName=../../etc/passwd\n4\tPortName=COM4/../../x\n"
        "99999999999999999999999\tPortName=COM9\n256\tPortName=COM10\n-1\tPortName=COM11\n07\tPortName=COM12\n"
        "5 PortName=COM13\n6\tPortName=COM3\n3\tPortName=COM14\n8\tPortName=COM0\n10\tPortName=COM05\n"
        "12\ta=1,,b=2\n13\tPortName=COM5,PortName=COM6\n14\ta=\xc3\xa9\n15\ta=\0\n"s
        "16\tPortName=COM16,BaudPacing=" + std::string(102, 'y') + "\n\x7f\x45LF\x01\x00\xff\n\n9\tPortName=COM9"s;
    std::vector<int> skipped;
    auto pairs = ParsePairsFile(content, &skipped);
    EXPECT_EQ(skipped, (std::vector<int>{3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}));
    EXPECT_EQ(FormatPairsFile(pairs), "1\t\n3\tPortName=COM3,OverrunCheck=yes\n9\tPortName=COM9\n");
    EXPECT_EQ(ParseComDb("COM5\nCOM0\ngarbage\nCOM256\r\nCOM5\n../COM3\n"), (std::set<int>{5, 256}));
    ParamList items;
    EXPECT_TRUE(ParseParams("a=" + std::string(125, 'x'), &items));  // 127 characters
    EXPECT_FALSE(ParseParams("a=" + std::string(126, 'x'), &items));
    for (const char* bad : {"ZPVA256", "ZPVA00", "ZPVA5/x", "ZPVB5"})
        EXPECT_EQ(UserSidePair(bad), -1) << bad;
}
