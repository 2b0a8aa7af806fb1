#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ports/pair_files.h"
#include "ports/pair_text.h"

namespace {

using namespace std::string_literals;

TEST(PairText, OnlyCanonicalNamesAndStrictParameterTextsAreRead)
{
    EXPECT_EQ(ComNumber("COM256"), 256);
    EXPECT_EQ(UserSidePair("ZPVA0"), 0);
    EXPECT_EQ(BridgeSidePair("ZPVB255"), 255);
    for (const char* bad : {"COM0", "COM257", "COM05", "COM", "COM+1", "COM5x", "com5", "../COM5",
                            "COM99999999999999999999", " COM5", "ZPVA5"})
        EXPECT_EQ(ComNumber(bad), -1) << bad;
    for (const char* bad : {"ZPVA256", "ZPVA00", "ZPVA5/x", "ZPVA"})
        EXPECT_EQ(UserSidePair(bad), -1) << bad;

    ParamList items;
    EXPECT_TRUE(ParseParams("a=" + std::string(125, 'x'), &items));
    for (std::string bad : {"PortName"s, "PortName="s, "=COM5"s, "a=1,,b=2"s, "a=1,"s, "a=1,a=2"s, "a=b=c"s,
                            "a=x y"s, "a=\x01"s, "a=\0"s, "a=\xc3\xa9"s, "a=" + std::string(126, 'x')})
        EXPECT_FALSE(ParseParams(bad, &items)) << bad;
    for (const char* bad : {"PortName=COM0", "PortName=../x", "BaudPacing=YES", "Speed=9600", "HideDevice=yes"}) {
        ASSERT_TRUE(ParseParams(bad, &items));
        EXPECT_FALSE(ValidUserSideParams(items)) << bad;
    }
    ASSERT_TRUE(ParseParams("HideDevice=yes,OverrunCheck=yes", &items));
    EXPECT_TRUE(ValidBridgeSideParams(items));
}

TEST(PairText, TokenizerKeepsTheStrtokContract)
{
    for (std::string text : {"", ",,,", "a", ",a,,b,", "PortName=COM3,Bad,x=1", "=="}) {
        std::vector<std::string> ours, libc;
        std::string a = text, b = text;
        char *s1 = nullptr, *s2 = nullptr;
        for (char* t = STRTOK_R(a.data(), ",=", &s1); t; t = STRTOK_R(nullptr, ",=", &s1))
            ours.push_back(t);
        for (char* t = strtok_r(b.data(), ",=", &s2); t; t = strtok_r(nullptr, ",=", &s2))
            libc.push_back(t);
        EXPECT_EQ(ours, libc) << text;
        EXPECT_EQ(STRTOK_R(nullptr, ",", &s1), nullptr);  // stays at the end
    }
    // Two levels at once, as the port list reads a pair's text.
    char text[] = "PortName=COM3,Bad";
    char *outer, *inner;
    std::vector<std::string> seen;
    for (char* item = STRTOK_R(text, ",", &outer); item; item = STRTOK_R(nullptr, ",", &outer)) {
        seen.push_back(STRTOK_R(item, "=", &inner));
        char* value = STRTOK_R(nullptr, "=", &inner);
        seen.push_back(value ? value : "-");
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"PortName", "COM3", "Bad", "-"}));
}

TEST(PairFiles, HostileAndMalformedLinesAreSkipped)
{
    std::string content =
        "3\tPortName=COM3,OverrunCheck=yes\n"
        "1\t\r\n"                                   // no parameters, CRLF
        "2\tPortName=../../etc/passwd\n"           // a path for a name
        "4\tPortName=COM4/../../x\n"
        "99999999999999999999999\tPortName=COM9\n"
        "256\tPortName=COM10\n"
        "-1\tPortName=COM11\n"
        "07\tPortName=COM12\n"
        "5 PortName=COM13\n"                        // no tab
        "6\tPortName=COM3\n"                        // COM3 taken by pair 3
        "3\tPortName=COM14\n"                       // pair 3 again
        "\x7f\x45LF\x01\x02\x00\xff\n"
        "\n"
        "9\tPortName=COM9"s;                        // no final newline
    std::vector<int> skipped;
    auto pairs = ParsePairsFile(content, &skipped);
    EXPECT_EQ(skipped, (std::vector<int>{3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(FormatPairsFile(pairs), "1\t\n3\tPortName=COM3,OverrunCheck=yes\n9\tPortName=COM9\n");

    EXPECT_EQ(ParseComDb("COM5\nCOM0\ngarbage\nCOM256\r\nCOM5\n../COM3\n"), (std::set<int>{5, 256}));
    EXPECT_EQ(FormatComDb({12, 3}), "COM3\nCOM12\n");
}

}  // namespace
