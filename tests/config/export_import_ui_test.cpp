#include <sys/stat.h>

#include <QTreeWidget>

#include "config/export_import.h"
#include "config/options_file.h"
#include "engine/port_table.h"
#include "res/resource.h"
#include "../ui_test_support.h"

using namespace uitest;

namespace {

const char kSystem[] =
    "<SYSTEM><ADDNEW>FALSE</ADDNEW><STARTUP>FALSE</STARTUP><DETECTDSR>FALSE</DETECTDSR>"
    "<AUTORUN>FALSE</AUTORUN></SYSTEM>\r\n";

std::string Document(const std::string& ports) { return "<OPTIONS>\r\n" + std::string(kSystem) + ports + "</OPTIONS>\r\n"; }

// A port element with every key; CHKDTR is on, which no import takes over.
std::string FullPort(const char* name, const char* mode, const char* dst, const char* dstPort,
                     const char* loc, const char* locPort, bool custom, const char* devName,
                     const char* keepAlive, const char* idle)
{
    std::string n = name;
    return "<" + n + ">\r\n<DSTADDR>" + dst + "</DSTADDR>\r\n<DSTPORT>" + dstPort +
           "</DSTPORT>\r\n<LOCADDR>" + loc + "</LOCADDR>\r\n<LOCPORT>" + locPort +
           "</LOCPORT>\r\n<MODE>" + mode + "</MODE>\r\n<USECUSTOM>" + (custom ? "TRUE" : "FALSE") +
           "</USECUSTOM>\r\n<CHKDTR>TRUE</CHKDTR>\r\n<DEVNAME>" + devName +
           "</DEVNAME>\r\n<KEEPALIVE>" + keepAlive + "</KEEPALIVE>\r\n<IDLETIME>" + idle +
           "</IDLETIME>\r\n</" + n + ">\r\n";
}

// What a port is, apart from its slot and its live state.
struct PortValues {
    std::string name;
    uint32_t mode, dstAddr, dstPort, locAddr, locPort;
    int32_t useCustom, chkDTR;
    std::string devName;
    uint32_t keepAlive, idleTime;
    bool operator==(const PortValues&) const = default;
};

std::ostream& operator<<(std::ostream& os, const PortValues& v)
{
    return os << v.name << " mode " << v.mode << " dst " << v.dstAddr << ":" << v.dstPort << " loc "
              << v.locAddr << ":" << v.locPort << " custom " << v.useCustom << " dtr " << v.chkDTR
              << " dev '" << v.devName << "' keepalive " << v.keepAlive << " idle " << v.idleTime;
}

PortValues Values(const PortRecord& r)
{
    return {r.name, r.mode, r.dstAddr, r.dstPort, r.locAddr, r.locPort, r.useCustom, r.chkDTR,
            r.devName, r.keepAlive, r.idleTime};
}

// The occupied slots, in slot order.
std::vector<PortValues> Table()
{
    std::vector<PortValues> ports;
    for (const PortRecord& r : PortTable)
        if (r.number != -1)
            ports.push_back(Values(r));
    return ports;
}

std::vector<int> ComNumbers(const std::vector<PortSettings>& ports)
{
    std::vector<int> numbers;
    for (const PortSettings& p : ports)
        numbers.push_back(p.comNumber);
    return numbers;
}

// Base values that no imported key may leave behind.
PortSettings Base()
{
    PortSettings b;
    b.comNumber = 99;
    b.remoteHost = "10.9.9.9";
    b.localPort = "9";
    b.remotePort = "99";
    b.localHost = "10.8.8.8";
    b.mode = 0;
    b.useCustom = 1;
    b.deviceName = "base";
    b.idleTime = 100;
    b.keepAlive = 40;
    b.emuBR = 0;
    b.chkDTR = 1;
    return b;
}

class ExportImport : public WindowTest {
protected:
    // A program directory with two installed ports, COM7 in slot 0 and
    // COM3 in slot 1, and their settings.
    fs::path TwoPortFolder()
    {
        fs::path dir = ProgramDir("source");
        WriteFile(dir / "pairs.dat", "0\tPortName=COM7,OverrunCheck=yes,BaudPacing=yes\n"
                                     "1\tPortName=COM3,OverrunCheck=yes,BaudPacing=yes\n");
        WriteFile(dir / "options.dat",
                  Document(FullPort("COM7", "udp", "192.168.1.20", "5000", "127.0.0.1", "6000", true,
                                    "meter &lt;1&gt; &amp; co", "15", "-1294967296") +
                           FullPort("COM3", "tcpclient", "127.0.0.1", "27015", "0.0.0.0", "0", false,
                                    "", "40", "100")));
        return dir;
    }
    fs::path Exports()
    {
        fs::path dir = root_ / "exports";
        fs::create_directories(dir);
        return dir;
    }
    void Import(const fs::path& file)
    {
        seam_.openName = QString::fromStdString(file.string());
        dlg_->OnCommand(ID_SYSTEM_IMPORT);
    }
};

}  // namespace

// ---- reading an exported document --------------------------------------------

TEST(ImportedPortSettings, OnlyCom1ToCom256AreTakenInAscendingOrder)
{
    std::string ports;
    for (const char* name : {"COM0", "COM257", "com5", "COM05", "COM7", "COM1x", "COM3", "COM256",
                             "COM", "COM-1", "COM+2", "SYSTEMX"})
        ports += std::string("<") + name + "/>\r\n";
    auto got = ImportedPortSettings(Document(ports), Base());
    EXPECT_EQ(ComNumbers(got), (std::vector<int>{3, 7, 256}));
}

TEST(ImportedPortSettings, KeysOverTheBaseAndDefaultsForMissingOnes)
{
    std::string text = Document(
        FullPort("COM1", "udp", "192.168.0.1", "0x10", "127.0.0.2", "8080", true,
                 "a&amp;b&lt;c", "0x10", "99999999999") +
        "<COM2/>\r\n" +
        "<COM3><MODE>TCP</MODE><KEEPALIVE>-1</KEEPALIVE><IDLETIME>  42abc</IDLETIME>"
        "<EMUBR>FALSE</EMUBR><DSTADDR></DSTADDR></COM3>\r\n" +
        "<COM4><MODE>tcpclient</MODE><USECUSTOM>true</USECUSTOM></COM4>\r\n");
    auto got = ImportedPortSettings(text, Base());
    ASSERT_EQ(ComNumbers(got), (std::vector<int>{1, 2, 3, 4}));

    const PortSettings& a = got[0];
    EXPECT_EQ(a.remoteHost, "192.168.0.1");
    EXPECT_EQ(a.remotePort, "0x10");  // a text: the add step converts it
    EXPECT_EQ(a.localHost, "127.0.0.2");
    EXPECT_EQ(a.localPort, "8080");
    EXPECT_EQ(a.mode, 2);
    EXPECT_EQ(a.useCustom, 1);
    EXPECT_EQ(a.deviceName, "a&b<c");
    EXPECT_EQ(a.keepAlive, 0u);  // decimal reading stops at the "x"
    EXPECT_EQ(a.idleTime, 2147483647u);
    EXPECT_EQ(a.chkDTR, 1);  // the base's, whatever the file says

    // Nothing of the base's own values survives a missing key.
    const PortSettings& b = got[1];
    EXPECT_EQ(b.remoteHost, "");
    EXPECT_EQ(b.remotePort, "");
    EXPECT_EQ(b.localHost, "");
    EXPECT_EQ(b.localPort, "");
    EXPECT_EQ(b.mode, 1);
    EXPECT_EQ(b.useCustom, 0);
    EXPECT_EQ(b.deviceName, "");
    EXPECT_EQ(b.keepAlive, 0u);
    EXPECT_EQ(b.idleTime, 0u);
    EXPECT_EQ(b.emuBR, 1);
    EXPECT_EQ(b.chkDTR, 1);

    EXPECT_EQ(got[2].mode, 1);
    EXPECT_EQ(got[2].keepAlive, 4294967295u);
    EXPECT_EQ(got[2].idleTime, 42u);
    EXPECT_EQ(got[2].emuBR, 0);
    EXPECT_EQ(got[2].remoteHost, "");
    EXPECT_EQ(got[3].mode, 0);
    EXPECT_EQ(got[3].useCustom, 0);  // only "TRUE" is on
}

TEST(ImportedPortSettings, TextsThatAreNoDocumentGiveNoPorts)
{
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "<COM1>";
    const std::string texts[] = {
        "",
        "garbage",
        "<OPTIONS><COM1>",
        "<OPTIONS><COM1></COM2></OPTIONS>",
        "<OPTIONS><COM1><MODE>udp</COM1></OPTIONS>",
        std::string("<OPTIONS>\0\xff\xfe<COM1/></OPTIONS>", 29),
        "<OPTIONS>" + deep,
        std::string(1 << 16, '<'),
    };
    for (const std::string& t : texts)
        EXPECT_TRUE(ImportedPortSettings(t, Base()).empty()) << t.substr(0, 40);
}

// ---- the commands ------------------------------------------------------------

TEST_F(ExportImport, ExportWritesTheTableWhereChosenAndComesBackToTheProgramDirectory)
{
    fs::path dir = TwoPortFolder();
    CPontuDlg& dlg = Open(dir);
    ASSERT_EQ(dlg.PortList()->topLevelItemCount(), 2);
    const std::string options = ReadFile(dir / "options.dat");

    // Cancelled: nothing written anywhere.
    seam_.wanderTo = Exports().string();
    dlg.OnCommand(ID_SYSTEM_EXPORT);
    EXPECT_EQ(seam_.Asked("save"), 1);
    EXPECT_TRUE(fs::is_empty(Exports()));
    EXPECT_EQ(CurrentDirectory(), dir.string());

    // A name relative to the folder the dialog was in lands there.
    seam_.saveName = "ports.txt";
    dlg.OnCommand(ID_SYSTEM_EXPORT);
    std::string exported = ReadFile(Exports() / "ports.txt");
    EXPECT_EQ(exported, dlg.Options().optionsText);
    EXPECT_LT(exported.find("<COM7>\r\n"), exported.find("<COM3>\r\n"));
    EXPECT_NE(exported.find("<IDLETIME>-1294967296</IDLETIME>"), std::string::npos);
    EXPECT_EQ(CurrentDirectory(), dir.string());
    EXPECT_EQ(ReadFile(dir / "options.dat"), options);
    // With the startup flag off no bridge was started.
    EXPECT_FALSE(PortTable[0].hThread);
    EXPECT_TRUE(seam_.messages.empty());

    // A FIFO nobody reads is no place to export to, and no reason to hang;
    // the person learns that the list was not written.
    ASSERT_EQ(mkfifo((Exports() / "pipe").c_str(), 0644), 0);
    seam_.saveName = "pipe";
    dlg.OnCommand(ID_SYSTEM_EXPORT);
    EXPECT_EQ(dlg.Options().optionsText, exported);
    EXPECT_EQ(seam_.messages, std::vector<QString>{"Open or Write to Option File Fail"});
    EXPECT_EQ(CurrentDirectory(), dir.string());
}

TEST_F(ExportImport, AnExportImportedIntoAnEmptyListRecreatesItsPorts)
{
    fs::path source = TwoPortFolder();
    Open(source);
    seam_.saveName = QString::fromStdString((Exports() / "ports.txt").string());
    dlg_->OnCommand(ID_SYSTEM_EXPORT);
    std::vector<PortValues> exported = Table();
    ASSERT_EQ(exported.size(), 2u);
    EXPECT_EQ(exported[0].devName, "meter <1> & co");
    EXPECT_EQ(exported[0].idleTime, 3000000000u);

    fs::path target = ProgramDir("target");
    CPontuDlg& dlg = Open(target);
    ASSERT_EQ(dlg.PortList()->topLevelItemCount(), 0);
    seam_.wanderTo = root_.string();
    Import(Exports() / "ports.txt");

    // Ascending COM numbers: COM3 takes the first free slot, then COM7. Only
    // the detect-DTR flag comes from the port dialog's last-used value.
    std::vector<PortValues> expected{exported[1], exported[0]};
    for (PortValues& v : expected)
        v.chkDTR = 0;
    EXPECT_EQ(Table(), expected);
    EXPECT_EQ(dlg.PortList()->topLevelItemCount(), 2);
    EXPECT_EQ(CurrentDirectory(), target.string());
    // Each add saved the options where the program keeps them.
    std::string saved = ReadFile(target / "options.dat");
    EXPECT_NE(saved.find("<COM3>"), std::string::npos);
    EXPECT_NE(saved.find("<COM7>"), std::string::npos);
    EXPECT_TRUE(seam_.messages.empty());
    // An import leaves the start-up flags alone and starts nothing itself.
    EXPECT_EQ(dlg.Options().settings.addNew, 0);
    EXPECT_FALSE(PortTable[0].hThread);
}

TEST_F(ExportImport, UnreadableOversizedOrMalformedFilesImportNothingQuietly)
{
    CPontuDlg& dlg = Open(ProgramDir());
    const std::string before = dlg.Options().optionsText;
    fs::path dir = Exports();

    // Cancelled, missing, a folder, a FIFO nobody writes: nothing happens,
    // and nothing waits.
    dlg.OnCommand(ID_SYSTEM_IMPORT);
    Import(dir / "missing.txt");
    Import(dir);
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0644), 0);
    Import(dir / "pipe");
    EXPECT_EQ(dlg.Options().optionsText, before);

    // A valid list padded past the size limit is not read at all.
    std::string big = Document("<COM1/>\r\n");
    big.resize(kMaxDocumentFileSize + 1, ' ');
    WriteFile(dir / "big.txt", big);
    Import(dir / "big.txt");
    EXPECT_EQ(dlg.Options().optionsText, before);

    // Read, kept as the last document, but it names no port that parses.
    const std::string broken = "<OPTIONS><COM1><MODE>udp</COM1></OPTIONS>";
    WriteFile(dir / "broken.txt", broken);
    Import(dir / "broken.txt");
    EXPECT_EQ(dlg.Options().optionsText, broken);

    EXPECT_EQ(seam_.Asked("open"), 6);
    EXPECT_TRUE(Table().empty());
    EXPECT_EQ(dlg.PortList()->topLevelItemCount(), 0);
    EXPECT_TRUE(seam_.messages.empty());
}
