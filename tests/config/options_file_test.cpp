#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <tuple>

#include "../test_folder.h"
#include "config/options_file.h"
#include "config/port_options.h"
#include "config/port_settings.h"
#include "config/options_document.h"
#include "engine/bridge.h"
#include "engine/port_table.h"

namespace {

PortRecord& Occupy(int slot, const char* name, uint32_t dstPort = 0)
{
    PortRecord& r = PortTable[slot];
    r.number = slot, r.dstPort = dstPort;
    CopyField(r.name, sizeof r.name, name, sizeof r.name - 1);
    return r;
}

auto Settings(const PortRecord& r)
{
    return std::tuple(r.mode, r.dstAddr, std::string(r.dstHost), r.locAddr, r.dstPort, r.locPort,
                      r.useCustom, r.detectDtr,
                      std::string(r.devName), r.keepAlive, r.idleTime, r.emuBR, r.deadPeer, r.rfc2217,
                      FormatLineSettings(r.line));
}

// A port's settings read from a document into a record that held others.
auto ReadBack(const std::string& text, const char* name)
{
    PortRecord r;
    r.mode = MODE_UDP, r.emuBR = 0, r.rfc2217 = 1;
    r.dstAddr = r.locAddr = r.dstPort = r.locPort = r.keepAlive = r.deadPeer = 1;
    ParseLineSettings("50,5,S,2", &r.line, nullptr);
    CopyField(r.devName, sizeof r.devName, "old", 31);
    CopyField(r.name, sizeof r.name, name, 7);
    OptionsDocument o(text);
    ReadPortOptions(o, &r);
    return Settings(r);
}

// Each test moves into a fresh folder and starts with an empty port table.
class OptionsFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        InitPortTable(nullptr);
    }
    uitest::TempFolder folder_;
    const std::string dir_ = folder_.Path();
};

}  // namespace

TEST_F(OptionsFile, WritesItsLayoutInSlotOrderAndEverySettingReadsBack)
{
    PortRecord& a = Occupy(0, "COM256", 65535);
    a.mode = MODE_UDP;
    SetDstAddrText(&a, "meter1.local");  // a host name, kept as typed
    a.locAddr = 0x7F000002, a.locPort = 8080;
    a.useCustom = a.detectDtr = 1;
    CopyField(a.devName, sizeof a.devName, "meter <&> 'q' \"x\"", 31);
    a.keepAlive = 3000000000u, a.idleTime = 1, a.deadPeer = 0, a.rfc2217 = 1;
    ParseLineSettings("2400,7,E,1.5", &a.line, nullptr);
    // Unusable names (none, no element name, SYSTEM) write nothing; the first of a name wins.
    int slot = 1;
    for (const char* unusable : {"", "CO<M", "SYSTEM"})
        Occupy(slot++, unusable, 1);
    Occupy(5, "COM25", 27015).dstAddr = 0x7F000001;
    Occupy(6, "COM25", 99);
    folder_.Write("options.dat", std::string(5000, 'x'));  // replaced whole
    OptionsState state;
    ASSERT_EQ(SaveOptions(state, "options.dat", true), 1);
    const std::string text = folder_.Read("options.dat");
    EXPECT_EQ(state.optionsText, text);
    // In slot order, neither by number nor by text; "COM25" is no "COM256".
    const size_t first = text.find("<COM256>"), end = text.find("</COM256>\r\n") + 11;
    EXPECT_EQ(text, uitest::OptionsDocument(false, {text.substr(first, end - first),
              uitest::PortElement("COM25", "tcpclient", "127.0.0.1", 27015, "0.0.0.0", 0)}));
    EXPECT_NE(text.find("<DSTADDR>meter1.local</DSTADDR>"), std::string::npos);
    EXPECT_EQ(ReadBack(text, "COM256"), Settings(a));
    EXPECT_FALSE(PortTable[5].thread);  // the startup flag is off
}

TEST_F(OptionsFile, StartStepStartsEveryPortOnlyWithTheStartupFlagAndAWrittenFile)
{
    Occupy(3, "COM3");
    Occupy(9, "COM9");
    OptionsState state;
    state.settings.startup = 1;
    state.optionsText = "before";
    std::string error;  // a folder in its place: the port commands' test
    EXPECT_EQ(SaveOptions(state, (dir_ + "/none/options.dat").c_str(), true, &error), 0);
    EXPECT_EQ(error, "cannot write " + dir_ + "/none/options.dat: No such file or directory");
    EXPECT_EQ(SaveOptions(state, "/dev/full", false), 0);  // a device is never written over
    ASSERT_EQ(mkfifo("fifo", 0644), 0);
    EXPECT_EQ(SaveOptions(state, "fifo", true), 0);  // nor a FIFO: fails, never waits
    EXPECT_EQ(state.optionsText, "before");  // no failed save changed it
    folder_.Write("options.dat", "old");
    ASSERT_EQ(mkdir("options.dat.tmp", 0755), 0);  // the write cannot finish
    EXPECT_EQ(SaveOptions(state, "options.dat", true), 0);
    EXPECT_EQ(folder_.Read("options.dat"), "old");  // never half a file
    ASSERT_EQ(rmdir("options.dat.tmp"), 0);
    ASSERT_EQ(SaveOptions(state, "options.dat", false), 1);  // the shutdown save
    EXPECT_FALSE(PortTable[3].thread);
    ASSERT_EQ(SaveOptions(state, "options.dat", true), 1);
    for (PortRecord& r : PortTable) {
        EXPECT_EQ(static_cast<bool>(r.thread), r.number == 3 || r.number == 9) << r.number;
        if (r.thread)
            StopBridge(&r);
    }
}

TEST_F(OptionsFile, LoadReadsFlagsAndTextOfARegularFileUpToSixteenMebibytesAndNeverHangs)
{
    const std::string text = uitest::OptionsDocument(true, {});
    folder_.Write("options.dat", text + '\0' + "<trailing>");
    ASSERT_EQ(chdir("/"), 0);
    OptionsState state;
    state.settings.addNew = 1;  // off on disk: the file wins
    ASSERT_EQ(LoadOptions(state, dir_.c_str()), 1);
    EXPECT_EQ(state.optionsText, text);  // up to the first zero byte
    EXPECT_EQ(std::pair(state.settings.addNew, state.settings.startup), std::pair(0, 1));
    EXPECT_EQ(std::filesystem::current_path(), "/");  // the working directory is left alone
    const std::string limit = text + std::string(kMaxDocumentFileSize - text.size(), ' ');
    folder_.Write("options.dat", limit);
    ASSERT_EQ(LoadOptions(state, dir_.c_str()), 1);
    EXPECT_EQ(state.optionsText.size(), kMaxDocumentFileSize);
    state.optionsText = "kept";
    folder_.Write("options.dat", limit + " ");
    std::string error;
    EXPECT_EQ(LoadOptions(state, dir_.c_str(), &error), 0);
    const std::string path = folder_.File("options.dat");
    EXPECT_EQ(error, "cannot read " + path + ": file too large (16.1 MB, the limit is 16 MB)");
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    EXPECT_EQ(LoadOptions(state, dir_.c_str(), &error), 0);  // and it did not wait for a writer
    EXPECT_EQ(state.optionsText, "kept");
}

TEST(OptionReaders, MissingOddEmptyAndUnreadableValuesTakeDefaults)
{
    // An empty name must not read another element's keys.
    const auto defaults = std::tuple(uint32_t{MODE_TCPSERVER}, 0u, std::string(), 0u, 0u, 0u, 0, 0, std::string(),
                                     0u, 0u, 1, 60u, 0, std::string(kLineDefault));  // older files lack DEADPEER, RFC2217, LINE
    const std::string present = "<OPTIONS><SYSTEM><DSTPORT>9</DSTPORT></SYSTEM><COM1><MODE>udp</MODE></COM1></OPTIONS>";
    for (const auto& [text, name] : {std::pair(present, "COM2"), {present, ""}, {"<" + present, "COM1"}})  // "<": unparsable
        EXPECT_EQ(ReadBack(text, name), defaults) << name;
    const std::string longName = std::string(30, 'D') + 'E' + std::string(269, 'D');
    // An unknown mode name leaves the mode; EMUBR is always on.
    EXPECT_EQ(ReadBack("<OPTIONS><COM2><MODE>TCPCLIENT</MODE><EMUBR>FALSE</EMUBR><LOCPORT>0x1F90</LOCPORT>"
                       "<USECUSTOM>true</USECUSTOM><DEVNAME>" + longName + "</DEVNAME><DEADPEER>4</DEADPEER><LINE>9600,9,N,1</LINE></COM2></OPTIONS>", "COM2"),
              std::tuple(uint32_t{MODE_UDP}, 0u, std::string(), 0u, 0u, 8080u, 0, 0, longName.substr(0, 31),
                         0u, 0u, 1, 60u, 0, std::string(kLineDefault)));
    auto with = [](const std::string& v) { return ::OptionsDocument("<OPTIONS>\r\n<P>\r\n<K>" + v + "</K>\r\n</P>\r\n</OPTIONS>"); };
    const std::pair<const char*, int32_t> kDecimals[] = {
        {"40", 40}, {" \t-12abc", -12}, {"+7", 7}, {"abc", 0}, {"0x10", 0}, {"010", 10},
        {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN},
        {"99999999999999999999", INT32_MAX}, {"-99999999999999999999", INT32_MIN}};  // the nearest
    for (const auto& [text, value] : kDecimals)
        EXPECT_EQ(with(text).GetIntOption("P", "K", -1), value) << text;
    OptionsDocument empty = with("");
    EXPECT_EQ(std::tuple(empty.GetBoolOption("P", "K", 1), empty.GetIntOption("P", "K", 33),
                         empty.GetAddrOption("P", "K", 77), empty.GetStringOption("P", "K", "d")),
              std::tuple(1, 33, 77u, std::string("d")));
}
