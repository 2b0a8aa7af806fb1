#include <gtest/gtest.h>

#include <string>

#include "config/test_options.h"

namespace {

// A port element with one key set to `value`, in a document of our layout.
CTestOptions WithKey(const std::string& key, const std::string& value)
{
    return CTestOptions("<OPTIONS>\r\n<COM1>\r\n<" + key + ">" + value + "</" + key +
                        ">\r\n</COM1>\r\n</OPTIONS>\r\n");
}

}  // namespace

TEST(TestOptions, ValuesAreAddedButNeverUpdated)
{
    CTestOptions o;
    EXPECT_EQ(o.SetValue("SYSTEM", nullptr, ""), 0);  // no root yet
    o.NewDocument();
    std::string text;
    EXPECT_EQ(o.GetText(text), 1);
    EXPECT_EQ(text, "<OPTIONS/>\r\n");

    EXPECT_EQ(o.SetValue("COM1", "MODE", "udp"), 0);  // the element must come first
    EXPECT_EQ(o.SetValue("COM1", nullptr, ""), 1);
    EXPECT_EQ(o.SetValue("COM1", nullptr, "again"), 0);
    EXPECT_EQ(o.SetValue("COM1", "MODE", "udp"), 1);
    EXPECT_EQ(o.SetValue("COM1", "MODE", "tcpclient"), 0);
    EXPECT_EQ(o.GetStringOption("COM1", "MODE"), "udp");

    EXPECT_EQ(o.HasElement("COM1", nullptr), 1);
    EXPECT_EQ(o.HasElement("COM1", "MODE"), 1);
    EXPECT_EQ(o.HasElement("COM1", "DEVNAME"), 0);
    EXPECT_EQ(o.HasElement("COM2", nullptr), 0);
    EXPECT_EQ(o.HasElement("MODE", nullptr), 0);  // keys are not found at the top level

    std::string value = "untouched";
    EXPECT_EQ(o.GetValue("COM2", "MODE", value), 0);
    EXPECT_EQ(value, "untouched");
    EXPECT_EQ(o.GetValue("COM1", nullptr, value), 1);
    EXPECT_EQ(value, "");  // an element with children has no value
}

TEST(TestOptions, NamesThatWouldNotReadBackAreRefused)
{
    CTestOptions o;
    o.NewDocument();
    for (const char* bad : {"", "CO M1", "CO<M", "A/B", "A>", "\"Q\"", "X=1", "A?", "B!", "\tA"})
        EXPECT_EQ(o.SetValue(bad, nullptr, "v"), 0) << bad;
    EXPECT_EQ(o.SetValue("COM1", nullptr, ""), 1);
    EXPECT_EQ(o.SetValue("COM1", "BAD KEY", "v"), 0);
    std::string text;
    o.GetText(text);
    EXPECT_EQ(text, "<OPTIONS>\r\n<COM1/>\r\n</OPTIONS>\r\n");

    // An empty name finds nothing, so an unnamed port neither reads another
    // element's keys nor writes its own keys into it.
    CTestOptions doc("<OPTIONS><SYSTEM><DSTPORT>99</DSTPORT></SYSTEM></OPTIONS>");
    EXPECT_EQ(doc.HasElement("", nullptr), 0);
    EXPECT_EQ(doc.GetAddrOption("", "DSTPORT", 5), 5u);
    EXPECT_EQ(doc.SetIntOption("", "KEEPALIVE", 1), 0);
    EXPECT_EQ(doc.HasElement("SYSTEM", "KEEPALIVE"), 0);
}

TEST(TestOptions, WritersProduceTheStoredTexts)
{
    CTestOptions o;
    o.NewDocument();
    o.SetValue("P", nullptr, "");
    o.SetBoolOption("P", "T", 7);
    o.SetBoolOption("P", "F", 0);
    o.SetIntOption("P", "I", -12);
    o.SetIntOption("P", "U", static_cast<int32_t>(3000000000u));
    o.SetAddrOption("P", "A", 0x7F000001);
    o.SetAddrOption("P", "Z", 0);
    o.SetStringOption("P", "S", "A<B");
    o.SetStringOption("P", "E", nullptr);
    std::string text;
    o.GetText(text);
    EXPECT_EQ(text,
              "<OPTIONS>\r\n<P>\r\n<T>TRUE</T>\r\n<F>FALSE</F>\r\n<I>-12</I>\r\n<U>-1294967296</U>\r\n"
              "<A>127.0.0.1</A>\r\n<Z>0.0.0.0</Z>\r\n<S>A&lt;B</S>\r\n<E/>\r\n</P>\r\n</OPTIONS>\r\n");
    EXPECT_EQ(static_cast<uint32_t>(o.GetIntOption("P", "U", 0)), 3000000000u);
    EXPECT_EQ(o.GetAddrOption("P", "A", 0), 0x7F000001u);
}

TEST(TestOptions, FlagsAreOnlyForExactlyTrue)
{
    EXPECT_EQ(WithKey("K", "TRUE").GetBoolOption("COM1", "K", 0), 1);
    for (const char* off : {"true", " TRUE ", "1", "TRUEX", "FALSE", "yes"})
        EXPECT_EQ(WithKey("K", off).GetBoolOption("COM1", "K", 1), 0) << off;
    // Missing and empty values take the default.
    EXPECT_EQ(WithKey("K", "").GetBoolOption("COM1", "K", 1), 1);
    EXPECT_EQ(WithKey("K", "TRUE").GetBoolOption("COM1", "OTHER", 1), 1);
    EXPECT_EQ(WithKey("K", "TRUE").GetBoolOption("COM2", "K", 0), 0);
    EXPECT_EQ(CTestOptions("<OPTIONS><COM1><K/></COM1></OPTIONS>").GetBoolOption("COM1", "K", 1), 1);
}

TEST(TestOptions, DecimalReaderReadsLikeAtoi)
{
    const struct {
        const char* text;
        int32_t value;
    } kCases[] = {
        {"40", 40},          {" \t-12abc", -12},  {"+7", 7},
        {"abc", 0},          {"0x10", 0},         {"010", 10},
        {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
        {"99999999999999999999", INT32_MAX},      // out of range: the nearest value
        {"-99999999999999999999", INT32_MIN},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(WithKey("KEEPALIVE", c.text).GetIntOption("COM1", "KEEPALIVE", -1), c.value) << c.text;
    EXPECT_EQ(WithKey("KEEPALIVE", "").GetIntOption("COM1", "KEEPALIVE", 33), 33);
    EXPECT_EQ(CTestOptions("<O><COM1><KEEPALIVE/></COM1></O>").GetIntOption("COM1", "KEEPALIVE", 0), 0);
}

TEST(TestOptions, AddressReaderTakesEveryIpv4TextForm)
{
    const struct {
        const char* text;
        uint32_t value;
    } kCases[] = {
        {"27015", 27015},        {"0x1F90", 8080},          {"8080", 8080},
        {"010", 8},              {"0x10", 16},              {"0", 0},
        {"65535", 65535},        {"127.0.0.1", 0x7F000001}, {"10.1", 0x0A000001},
        {"0x0A.010.0.1", 0x0A080001},
        {"junk", 0xFFFFFFFF},    {"1.2.3.4.5", 0xFFFFFFFF}, {"256.1.1.1", 0xFFFFFFFF},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(WithKey("LOCPORT", c.text).GetAddrOption("COM1", "LOCPORT", 1), c.value) << c.text;
    EXPECT_EQ(WithKey("LOCPORT", "").GetAddrOption("COM1", "LOCPORT", 77), 77u);
    EXPECT_EQ(WithKey("LOCPORT", "1").GetAddrOption("COM1", "DSTPORT", 78), 78u);

    // Every port the decimal writer stores reads back as itself.
    CTestOptions o;
    o.NewDocument();
    o.SetValue("COM1", nullptr, "");
    for (int32_t port : {0, 1, 80, 8080, 65534, 65535}) {
        std::string key = "P" + std::to_string(port);
        o.SetIntOption("COM1", key.c_str(), port);
        EXPECT_EQ(o.GetAddrOption("COM1", key.c_str(), 1), static_cast<uint32_t>(port));
    }
}

TEST(TestOptions, StringsAreDecodedAndDefaultWhenEmpty)
{
    EXPECT_EQ(WithKey("DEVNAME", "A&amp;B").GetStringOption("COM1", "DEVNAME", "d"), "A&B");
    EXPECT_EQ(WithKey("DEVNAME", " spaced ").GetStringOption("COM1", "DEVNAME"), " spaced ");
    EXPECT_EQ(WithKey("DEVNAME", "").GetStringOption("COM1", "DEVNAME", "d"), "d");
    EXPECT_EQ(WithKey("DEVNAME", "").GetStringOption("COM1", "DEVNAME", nullptr), "");
    EXPECT_EQ(WithKey("MODE", "udp").GetStringOption("COM1", "DEVNAME", "tcpserver"), "tcpserver");
}

TEST(TestOptions, OtherDocumentsOfTheSameShapeReadAlike)
{
    // Another root name, indentation, another key order, a declaration and
    // comments: read like the document the program writes.
    CTestOptions o(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!-- exported by hand -->\n"
        "<Settings>\n"
        "    <SYSTEM>\n"
        "        <AUTORUN>TRUE</AUTORUN>\n"
        "        <ADDNEW>TRUE</ADDNEW>\n"
        "    </SYSTEM>\n"
        "    <COM7>\n"
        "        <!-- the peer -->\n"
        "        <DSTPORT>502</DSTPORT>\n"
        "        <DSTADDR>192.0.2.7</DSTADDR>\n"
        "    </COM7>\n"
        "</Settings>\n");
    EXPECT_EQ(o.GetBoolOption("SYSTEM", "ADDNEW", 0), 1);
    EXPECT_EQ(o.GetBoolOption("SYSTEM", "STARTUP", 0), 0);
    EXPECT_EQ(o.GetBoolOption("SYSTEM", "AUTORUN", 0), 1);
    EXPECT_EQ(o.GetAddrOption("COM7", "DSTADDR", 0), 0xC0000207u);
    EXPECT_EQ(o.GetAddrOption("COM7", "DSTPORT", 0), 502u);

    // Names are case-sensitive.
    CTestOptions lower("<OPTIONS><SYSTEM><addnew>TRUE</addnew></SYSTEM></OPTIONS>");
    EXPECT_EQ(lower.GetBoolOption("SYSTEM", "ADDNEW", 0), 0);
}
