#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "../test_folder.h"
#include "config/options_file.h"
#include "config/port_options.h"
#include "config/test_options.h"
#include "engine/port_table.h"

namespace {

const char kExample[] =
    "<OPTIONS>\r\n"
    "<SYSTEM>\r\n"
    "<ADDNEW>TRUE</ADDNEW>\r\n"
    "<STARTUP>FALSE</STARTUP>\r\n"
    "<DETECTDSR>FALSE</DETECTDSR>\r\n"
    "<AUTORUN>FALSE</AUTORUN>\r\n"
    "</SYSTEM>\r\n"
    "<COM5>\r\n"
    "<DSTADDR>127.0.0.1</DSTADDR>\r\n"
    "<DSTPORT>27015</DSTPORT>\r\n"
    "<LOCADDR>0.0.0.0</LOCADDR>\r\n"
    "<LOCPORT>0</LOCPORT>\r\n"
    "<MODE>tcpclient</MODE>\r\n"
    "<USECUSTOM>FALSE</USECUSTOM>\r\n"
    "<CHKDTR>FALSE</CHKDTR>\r\n"
    "<DEVNAME/>\r\n"
    "<KEEPALIVE>40</KEEPALIVE>\r\n"
    "<IDLETIME>100</IDLETIME>\r\n"
    "</COM5>\r\n"
    "</OPTIONS>\r\n";

const char kEmptyTable[] =
    "<OPTIONS>\r\n"
    "<SYSTEM>\r\n"
    "<ADDNEW>FALSE</ADDNEW>\r\n"
    "<STARTUP>FALSE</STARTUP>\r\n"
    "<DETECTDSR>FALSE</DETECTDSR>\r\n"
    "<AUTORUN>FALSE</AUTORUN>\r\n"
    "</SYSTEM>\r\n"
    "</OPTIONS>\r\n";

PortRecord& Occupy(int slot, const char* name)
{
    PortRecord& r = PortTable[slot];
    r.number = slot;
    CopyField(r.name, sizeof r.name, name, sizeof r.name - 1);
    return r;
}

// Each test works in a fresh folder of its own, which is also the current
// directory, and leaves the port table empty.
class OptionsFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char cwd[PATH_MAX];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        oldCwd_ = cwd;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        InitPortTable(nullptr);
    }
    void TearDown() override
    {
        for (PortRecord& r : PortTable)
            if (r.hThread)
                StopBridge(&r);
        InitPortTable(nullptr);
        EXPECT_EQ(chdir(oldCwd_.c_str()), 0);
    }
    std::string Path(const char* name) const { return folder_.File(name); }
    std::string Read(const char* name) const { return folder_.Read(name); }
    void Write(const char* name, const std::string& bytes) const { folder_.Write(name, bytes); }

    uitest::TempFolder folder_;
    const std::string dir_ = folder_.Path();
    std::string oldCwd_;
};

}  // namespace

// ---- writing -----------------------------------------------------------------

TEST_F(OptionsFile, SavesTheExampleDocumentByteForByte)
{
    PortRecord& r = Occupy(5, "COM5");
    r.mode = MODE_TCPCLIENT;
    r.dstAddr = 0x7F000001;
    r.dstPort = 27015;
    r.keepAlive = 40;
    r.idleTime = 100;
    OptionsState state;
    state.settings.addNew = 1;

    ASSERT_EQ(SaveOptions(state, "options.dat", true), 1);
    EXPECT_EQ(Read("options.dat"), kExample);
    EXPECT_EQ(state.optionsText, kExample);
    EXPECT_FALSE(r.hThread);  // the startup flag is off
}

TEST_F(OptionsFile, PortsAreWrittenInSlotOrderAndTheFirstOfANameWins)
{
    Occupy(0, "COM7").dstPort = 7;
    Occupy(1, "COM3").dstPort = 3;
    Occupy(2, "COM7").dstPort = 99;  // same name as slot 0: dropped
    OptionsState state;
    ASSERT_EQ(SaveOptions(state, "options.dat", false), 1);
    const std::string& text = state.optionsText;
    EXPECT_LT(text.find("<COM7>"), text.find("<COM3>"));
    EXPECT_EQ(text.find("<COM7>"), text.rfind("<COM7>"));
    EXPECT_EQ(text.find(">99<"), std::string::npos);
    CTestOptions o(text);
    EXPECT_EQ(o.GetAddrOption("COM7", "DSTPORT", 0), 7u);
    EXPECT_EQ(o.GetAddrOption("COM3", "DSTPORT", 0), 3u);
}

TEST_F(OptionsFile, PortsWithoutAUsableNameAreNotWritten)
{
    // A slot without a name (its pair had no PortName) or with one that is no
    // element name must not add keys to SYSTEM nor break the document.
    Occupy(0, "").dstPort = 1;
    Occupy(1, "CO<M").dstPort = 2;
    Occupy(2, "SYSTEM").dstPort = 3;
    Write("options.dat", std::string(5000, 'x'));  // replaced whole
    OptionsState state;
    ASSERT_EQ(SaveOptions(state, "options.dat", false), 1);
    EXPECT_EQ(state.optionsText, kEmptyTable);
    EXPECT_EQ(Read("options.dat"), kEmptyTable);
}

TEST_F(OptionsFile, EverySettingReadsBackAsSaved)
{
    PortRecord& a = Occupy(0, "COM1");
    a.mode = MODE_UDP;
    a.dstAddr = 0xC0A80001;
    a.locAddr = 0x7F000002;
    a.dstPort = 65535;
    a.locPort = 8080;
    a.useCustom = 1;
    a.chkDTR = 1;
    CopyField(a.devName, sizeof a.devName, "meter <&> 'q' \"x\"", 31);
    a.keepAlive = 3000000000u;
    a.idleTime = 1;
    PortRecord& b = Occupy(255, "COM256");
    b.mode = MODE_TCPSERVER;
    OptionsState state;
    ASSERT_EQ(SaveOptions(state, "options.dat", false), 1);

    CTestOptions o(Read("options.dat"));
    for (const PortRecord* saved : {&a, &b}) {
        PortRecord back;
        back.mode = MODE_TCPCLIENT;
        back.emuBR = 0;
        CopyField(back.name, sizeof back.name, saved->name, 7);
        ReadPortOptions(o, &back);
        EXPECT_EQ(back.mode, saved->mode);
        EXPECT_EQ(back.dstAddr, saved->dstAddr);
        EXPECT_EQ(back.locAddr, saved->locAddr);
        EXPECT_EQ(back.dstPort, saved->dstPort);
        EXPECT_EQ(back.locPort, saved->locPort);
        EXPECT_EQ(back.useCustom, saved->useCustom);
        EXPECT_EQ(back.chkDTR, saved->chkDTR);
        EXPECT_STREQ(back.devName, saved->devName);
        EXPECT_EQ(back.keepAlive, saved->keepAlive);
        EXPECT_EQ(back.idleTime, saved->idleTime);
        EXPECT_EQ(back.emuBR, 1);
    }
}

TEST_F(OptionsFile, StartStepStartsEveryOccupiedSlotOnlyWithTheStartupFlag)
{
    Occupy(3, "COM3");
    Occupy(9, "COM9");
    OptionsState state;
    state.settings.startup = 1;
    ASSERT_EQ(SaveOptions(state, "options.dat", false), 1);  // the shutdown save
    EXPECT_FALSE(PortTable[3].hThread);

    ASSERT_EQ(SaveOptions(state, "options.dat", true), 1);
    for (int slot = 0; slot < kPortCount; ++slot)
        EXPECT_EQ(static_cast<bool>(PortTable[slot].hThread), slot == 3 || slot == 9) << slot;
}

TEST_F(OptionsFile, AFileThatCannotBeOpenedOrWrittenIsReported)
{
    Occupy(1, "COM1");
    OptionsState state;
    state.settings.startup = 1;
    state.optionsText = "before";
    EXPECT_EQ(SaveOptions(state, Path("no/such/dir/options.dat").c_str(), true), 0);
    EXPECT_EQ(SaveOptions(state, dir_.c_str(), true), 0);  // a folder
    EXPECT_EQ(state.optionsText, "before");
    EXPECT_FALSE(PortTable[1].hThread);

    // A full disk: the open succeeds, the write fails.
    EXPECT_EQ(SaveOptions(state, "/dev/full", false), 0);
}

// ---- reading -----------------------------------------------------------------

TEST_F(OptionsFile, LoadReadsTheFlagsAndKeepsTheText)
{
    std::string text = kExample;
    text.replace(text.find("<STARTUP>FALSE"), 14, "<STARTUP>TRUE");
    text.replace(text.find("<AUTORUN>FALSE"), 14, "<AUTORUN>TRUE");
    Write("options.dat", text);
    ASSERT_EQ(chdir("/"), 0);

    OptionsState state;
    PortTable[5].number = -1;
    ASSERT_EQ(LoadOptionsIn(state, dir_.c_str()), 1);
    EXPECT_EQ(state.optionsText, text);
    EXPECT_EQ(state.settings.addNew, 1);
    EXPECT_EQ(state.settings.startup, 1);
    EXPECT_EQ(state.settings.detectDsr, 0);
    EXPECT_EQ(state.settings.autoRun, 1);
    EXPECT_EQ(PortTable[5].number, -1);  // the port table is not touched

    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(std::string(cwd), dir_);  // saves now go beside the file read

    // A flag that is off on disk wins over the one in memory; the text ends
    // at the first zero byte.
    Write("options.dat", std::string(kEmptyTable) + '\0' + "<trailing>");
    ASSERT_EQ(LoadOptionsIn(state, dir_.c_str()), 1);
    EXPECT_EQ(state.settings.startup, 0);
    EXPECT_EQ(state.optionsText, kEmptyTable);
}

TEST_F(OptionsFile, AMissingFolderOrFifoFileChangesNothingAndNeverHangs)
{
    OptionsState state;
    state.settings.addNew = 1;
    state.optionsText = "kept";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(LoadOptionsIn(state, dir_.c_str()), 0);  // no file
    EXPECT_EQ(LoadOptionsIn(state, Path("missing").c_str()), 0);
    ASSERT_EQ(mkdir(Path("options.dat").c_str(), 0755), 0);
    EXPECT_EQ(LoadOptionsIn(state, dir_.c_str()), 0);  // a folder
    ASSERT_EQ(rmdir(Path("options.dat").c_str()), 0);
    ASSERT_EQ(mkfifo(Path("options.dat").c_str(), 0644), 0);
    EXPECT_EQ(LoadOptionsIn(state, dir_.c_str()), 0);
    EXPECT_EQ(state.settings.addNew, 1);
    EXPECT_EQ(state.optionsText, "kept");
    // Nobody reads the FIFO: the save fails rather than wait for a reader.
    EXPECT_EQ(SaveOptions(state, "options.dat", false), 0);
    EXPECT_EQ(SaveOptions(state, Path("options.dat").c_str(), true), 0);
    std::string text = "kept";
    EXPECT_FALSE(ReadDocumentFile("/dev/zero", text));  // endless, not regular
    EXPECT_EQ(text, "kept");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(OptionsFile, AFileOverSixteenMebibytesIsNotRead)
{
    std::string doc = kEmptyTable;
    std::string limit = doc + std::string(kMaxDocumentFileSize - doc.size(), ' ');
    Write("options.dat", limit);
    OptionsState state;
    ASSERT_EQ(LoadOptionsIn(state, dir_.c_str()), 1);
    EXPECT_EQ(state.optionsText.size(), kMaxDocumentFileSize);

    Write("options.dat", limit + " ");
    state.optionsText = "kept";
    EXPECT_EQ(LoadOptionsIn(state, dir_.c_str()), 0);
    EXPECT_EQ(state.optionsText, "kept");
    std::string text = "kept";
    EXPECT_FALSE(ReadDocumentFile(Path("options.dat").c_str(), text));
    EXPECT_EQ(text, "kept");
}

TEST_F(OptionsFile, AnUnparsableOrHostileFileGivesDefaults)
{
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "<OPTIONS>";
    for (const std::string& text : {std::string("<OPTIONS><SYSTEM><ADDNEW>TRUE</ADDNEW>"), deep}) {
        Write("options.dat", text);
        OptionsState state;
        state.settings.addNew = 1;
        ASSERT_EQ(LoadOptionsIn(state, dir_.c_str()), 1);
        EXPECT_EQ(state.optionsText, text);  // kept until the next save
        EXPECT_EQ(state.settings.addNew, 0);

        PortRecord r;
        CopyField(r.name, sizeof r.name, "COM1", 7);
        CTestOptions o(state.optionsText);
        ReadPortOptions(o, &r);
        EXPECT_EQ(r.mode, static_cast<uint32_t>(MODE_TCPSERVER));
    }
}

// ---- a port's element ------------------------------------------------------------

TEST_F(OptionsFile, MissingAndOddPortValuesTakeTheirDefaults)
{
    PortRecord r;
    r.mode = MODE_UDP;
    r.emuBR = 0;
    r.dstAddr = r.locAddr = r.dstPort = r.locPort = 1;
    CopyField(r.devName, sizeof r.devName, "old", 31);
    CopyField(r.name, sizeof r.name, "COM2", 7);
    CTestOptions none("<OPTIONS><COM1><MODE>udp</MODE></COM1></OPTIONS>");
    ReadPortOptions(none, &r);
    EXPECT_EQ(r.mode, static_cast<uint32_t>(MODE_TCPSERVER));
    EXPECT_EQ(r.dstAddr, 0u);
    EXPECT_EQ(r.locAddr, 0u);
    EXPECT_EQ(r.dstPort, 0u);
    EXPECT_EQ(r.locPort, 0u);
    EXPECT_STREQ(r.devName, "");
    EXPECT_EQ(r.emuBR, 1);

    CTestOptions odd(
        "<OPTIONS><COM2><MODE>TCPCLIENT</MODE><EMUBR>FALSE</EMUBR><LOCPORT>0x1F90</LOCPORT>"
        "<KEEPALIVE/><IDLETIME></IDLETIME><USECUSTOM>true</USECUSTOM></COM2></OPTIONS>");
    r.mode = MODE_UDP;
    r.emuBR = 0;
    r.keepAlive = r.idleTime = 5;
    r.useCustom = 1;
    ReadPortOptions(odd, &r);
    EXPECT_EQ(r.mode, static_cast<uint32_t>(MODE_UDP));  // an unknown name leaves it
    EXPECT_EQ(r.emuBR, 1);
    EXPECT_EQ(r.locPort, 8080u);
    EXPECT_EQ(r.keepAlive, 0u);
    EXPECT_EQ(r.idleTime, 0u);
    EXPECT_EQ(r.useCustom, 0);

    // A device name longer than the field is cut to 31 characters.
    std::string longName(300, 'D');
    longName[30] = 'E';
    CTestOptions big("<OPTIONS><COM2><DEVNAME>" + longName + "</DEVNAME></COM2></OPTIONS>");
    memset(r.devName, 'x', sizeof r.devName);
    ReadPortOptions(big, &r);
    EXPECT_EQ(std::string(r.devName), longName.substr(0, 31));
}

// ---- the program's folder ------------------------------------------------------------

TEST(ProgramDirectory, IsTheFolderOfTheRunningExecutable)
{
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    exe[n] = '\0';
    std::string expected(exe);
    expected.resize(expected.rfind('/'));

    std::string dir = GetProgramDirectory();
    EXPECT_EQ(dir, expected);
    EXPECT_NE(dir.back(), '/');

    char buf[261];
    GetProgramDirectory(260, buf);
    EXPECT_EQ(std::string(buf), expected.substr(0, 260));
    char small[5];
    memset(small, 'z', sizeof small);
    GetProgramDirectory(4, small);
    EXPECT_EQ(std::string(small), expected.substr(0, 4));
}
