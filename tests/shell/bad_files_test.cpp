// The built program started on damaged files beside it: options.dat and
// pairs.dat truncated, binary, huge, deeply nested, with duplicate and
// out-of-range entries, or unreadable. Each time it must start, stay up, say
// at most a short note, take defaults for what it cannot read, end on
// SIGTERM like "Exit", and keep every valid pair the user installed.
#include <algorithm>
#include <functional>
#include <random>

#include "program_run.h"

using uitest::IsLink;
using uitest::ProgramRun;
namespace fs = std::filesystem;

namespace {

const std::string kPair5 = "5\tPortName=COM5,OverrunCheck=yes,BaudPacing=yes\n";
const std::string kPair9 = "9\tPortName=COM12,OverrunCheck=yes,BaudPacing=yes\n";

std::string Repeat(const std::string& s, size_t n)
{
    std::string out;
    out.reserve(s.size() * n);
    for (size_t i = 0; i < n; ++i)
        out += s;
    return out;
}

std::string RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string out(n, '\0');
    for (char& c : out)
        c = static_cast<char>(gen() & 0xFF);
    return out;
}

std::string GoodOptions()
{
    return uitest::OptionsDocument(
        false, {uitest::PortElement("COM5", "tcpserver", "0.0.0.0", 0, "127.0.0.1", 0)});
}


// A short note at most: a few lines, none of them a crash or a sanitizer.
void ExpectQuiet(const std::string& err)
{
    size_t lines = static_cast<size_t>(std::count(err.begin(), err.end(), '\n'));
    EXPECT_LE(lines, 8u) << err.substr(0, 2000);
    EXPECT_LE(err.size(), 1024u) << err.substr(0, 2000);
    for (const char* alarm : {"Sanitizer", "runtime error", "terminate", "Segmentation", "Abort",
                              "core dumped", "double free"})
        EXPECT_EQ(err.find(alarm), std::string::npos) << alarm << " in:\n" << err.substr(0, 2000);
}

// ---- options.dat --------------------------------------------------------

struct OptionsCase {
    const char* name;
    std::function<void(const uitest::TempFolder&)> make;
    bool saveFails = false;
};
void PrintTo(const OptionsCase& c, std::ostream* os) { *os << c.name; }

class BadOptionsFile : public ::testing::TestWithParam<OptionsCase> {};

TEST_P(BadOptionsFile, StartsWithDefaultsKeepsThePairsAndEndsOnSigterm)
{
    ProgramRun run;
    const std::string pairs = kPair5 + kPair9;
    run.Folder().Write("pairs.dat", pairs);
    GetParam().make(run.Folder());

    run.Start();
    ASSERT_TRUE(run.WaitUp({"COM5", "COM12", "ZPVA5", "ZPVA9"}))
        << "not up; stderr:\n" << run.Stderr().substr(0, 2000);
    EXPECT_EQ(run.Stop(), 0) << "stderr:\n" << run.Stderr().substr(0, 2000);
    ExpectQuiet(run.Stderr());

    EXPECT_EQ(run.Folder().Read("pairs.dat"), pairs);
    EXPECT_FALSE(IsLink(run.Folder().File("dev/COM5")));
    // A save that cannot be made is told, and does not hold up the end.
    EXPECT_EQ(run.Stderr().find("Open or Write to Option File Fail") != std::string::npos,
              GetParam().saveFails);
    // Where the file could be written again, it now holds a sound document
    // with both ports; the flags it could not read are off.
    std::error_code ec;
    if (fs::is_regular_file(run.Folder().File("options.dat"), ec)) {
        const std::string saved = run.Folder().Read("options.dat");
        EXPECT_EQ(saved.rfind("<OPTIONS>\r\n", 0), 0u) << saved.substr(0, 300);
        EXPECT_NE(saved.find("<COM5>\r\n"), std::string::npos);
        EXPECT_NE(saved.find("<COM12>\r\n"), std::string::npos);
        EXPECT_NE(saved.find("<AUTORUN>FALSE</AUTORUN>"), std::string::npos);
        EXPECT_LT(saved.size(), 8192u);
    }
}

const OptionsCase kOptionsCases[] = {
    {"Empty", [](const uitest::TempFolder& f) { f.Write("options.dat", ""); }},
    {"TruncatedInsideATag",
     [](const uitest::TempFolder& f) {
         std::string doc = GoodOptions();
         f.Write("options.dat", doc.substr(0, doc.find("<MODE>") + 4));
     }},
    {"TruncatedAfterStartupTrue",
     [](const uitest::TempFolder& f) {
         std::string doc = uitest::OptionsDocument(true, {});
         f.Write("options.dat", doc.substr(0, doc.find("</SYSTEM>")));
     }},
    {"Binary", [](const uitest::TempFolder& f) { f.Write("options.dat", RandomBytes(64 * 1024, 7)); }},
    {"BinaryAfterAGoodStart",
     [](const uitest::TempFolder& f) { f.Write("options.dat", GoodOptions().substr(0, 90) + RandomBytes(4096, 8)); }},
    {"HugeOver16MiB",
     [](const uitest::TempFolder& f) {
         std::string doc = GoodOptions();
         doc.insert(doc.size() - 12, "<!--" + std::string(17u << 20, 'x') + "-->\r\n");
         f.Write("options.dat", doc);
     }},
    {"ManyPortElements",
     [](const uitest::TempFolder& f) {
         std::vector<std::string> ports;
         for (int i = 0; i < 20000; ++i)
             ports.push_back(uitest::PortElement("COM" + std::to_string(i % 300), "udp", "127.0.0.1",
                                                 i, "127.0.0.1", i));
         f.Write("options.dat", uitest::OptionsDocument(false, ports));
     }},
    {"NestedDeeply",
     [](const uitest::TempFolder& f) {
         f.Write("options.dat", "<OPTIONS>" + Repeat("<A>", 200000) + Repeat("</A>", 200000) + "</OPTIONS>");
     }},
    {"NestedDeeplyAndNeverClosed",
     [](const uitest::TempFolder& f) { f.Write("options.dat", Repeat("<COM5>", 500000)); }},
    {"NestedJustBelowTheLimit",
     [](const uitest::TempFolder& f) {
         f.Write("options.dat", "<OPTIONS>" + Repeat("<A>", 250) + Repeat("</A>", 250) + "</OPTIONS>");
     }},
    {"DuplicateElements",
     [](const uitest::TempFolder& f) {
         std::string sys = "<SYSTEM>\r\n<STARTUP>FALSE</STARTUP>\r\n<STARTUP>TRUE</STARTUP>\r\n</SYSTEM>\r\n";
         f.Write("options.dat", "<OPTIONS>\r\n" + sys + sys +
                                    uitest::PortElement("COM5", "tcpserver", "0.0.0.0", 0, "127.0.0.1", 0) +
                                    uitest::PortElement("COM5", "udp", "127.0.0.1", 9, "127.0.0.1", 0) +
                                    "</OPTIONS>\r\n");
     }},
    {"OutOfRangeValues",
     [](const uitest::TempFolder& f) {
         f.Write("options.dat",
                 "<OPTIONS>\r\n<SYSTEM>\r\n<STARTUP>TRUE</STARTUP>\r\n<AUTORUN>maybe</AUTORUN>\r\n</SYSTEM>\r\n"
                 "<COM5>\r\n<DSTADDR>999.1.2.3</DSTADDR>\r\n<DSTPORT>99999999999</DSTPORT>\r\n"
                 "<LOCADDR>-1</LOCADDR>\r\n<LOCPORT>-70000</LOCPORT>\r\n<MODE>telepathy</MODE>\r\n"
                 "<USECUSTOM>2</USECUSTOM>\r\n<CHKDTR>yes</CHKDTR>\r\n<DEVNAME>" + std::string(5000, 'N') +
                 "</DEVNAME>\r\n<KEEPALIVE>-5</KEEPALIVE>\r\n<IDLETIME>4294967296</IDLETIME>\r\n</COM5>\r\n"
                 "<COM12>\r\n<DSTADDR>255.255.255.255</DSTADDR>\r\n<DSTPORT>0</DSTPORT>\r\n"
                 "<MODE>tcpclient</MODE>\r\n<LOCADDR>127.0.0.1</LOCADDR>\r\n<LOCPORT>1</LOCPORT>\r\n</COM12>\r\n"
                 "</OPTIONS>\r\n");
     }},
    {"EntitiesAndCdata",
     [](const uitest::TempFolder& f) {
         f.Write("options.dat", "<?xml version=\"1.0\"?>\r\n<!DOCTYPE OPTIONS [<!ENTITY a \"b\">]>\r\n"
                                "<OPTIONS>\r\n<COM5><DEVNAME>&a;&#0;&#xFFFFFFFF;&amp</DEVNAME>"
                                "<MODE><![CDATA[udp</MODE>\r\n");
     }},
    {"ADirectory",
     [](const uitest::TempFolder& f) { fs::create_directory(f.File("options.dat")); }, true},
    {"ALinkToADevice",
     [](const uitest::TempFolder& f) { fs::create_symlink("/dev/zero", f.File("options.dat")); }},
    {"ADanglingLink",
     [](const uitest::TempFolder& f) { fs::create_symlink(f.File("nowhere/options.dat"), f.File("options.dat")); },
     true},
    {"NotReadableByPermission",
     [](const uitest::TempFolder& f) {
         f.Write("options.dat", uitest::OptionsDocument(true, {}));
         chmod(f.File("options.dat").c_str(), 0);
     }},
};

INSTANTIATE_TEST_SUITE_P(Cases, BadOptionsFile, ::testing::ValuesIn(kOptionsCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- pairs.dat ----------------------------------------------------------

struct PairsCase {
    const char* name;
    std::function<std::string()> content;  // what pairs.dat holds
    std::vector<std::string> links;         // links the valid lines give while running
    std::vector<std::string> absent = {};   // links that must not be there
};
void PrintTo(const PairsCase& c, std::ostream* os) { *os << c.name; }

class BadPairsFile : public ::testing::TestWithParam<PairsCase> {};

TEST_P(BadPairsFile, ValidPairsAreMadeAndKeptWhateverTheirNeighbours)
{
    ProgramRun run;
    const std::string content = GetParam().content();
    run.Folder().Write("pairs.dat", content);
    run.Folder().Write("options.dat", GoodOptions());

    run.Start();
    ASSERT_TRUE(run.WaitUp(GetParam().links)) << "not up; stderr:\n" << run.Stderr().substr(0, 2000);
    for (const std::string& l : GetParam().absent)
        EXPECT_FALSE(IsLink(run.Folder().File("dev/" + l))) << l << " made from a line that does not say so";
    EXPECT_EQ(run.Stop(), 0) << "stderr:\n" << run.Stderr().substr(0, 2000);
    ExpectQuiet(run.Stderr());

    // The user's file is left exactly as it was: a start and an exit never
    // rewrite it, so nothing in it is lost.
    EXPECT_TRUE(run.Folder().Read("pairs.dat") == content) << "pairs.dat changed";
    for (const std::string& l : GetParam().links)
        EXPECT_FALSE(IsLink(run.Folder().File("dev/" + l))) << l << " outlived the program";
}

const PairsCase kPairsCases[] = {
    {"Empty", [] { return std::string(); }, {}},
    {"TruncatedMidLine",
     [] { return kPair5 + kPair9 + "7\tPortName=CO"; }, {"COM5", "COM12", "ZPVA5", "ZPVA9"}},
    {"LastLineWithoutItsNewline", [] { return kPair5 + "7\tPortName=COM17"; }, {"COM5", "COM17", "ZPVA7"}},
    {"ValidLineAcrossTheFirstMegabyte",
     // Read in pieces, "COM17" must never become the "COM1" of a cut.
     [] {
         std::string junk = kPair5;
         while (junk.size() < (1u << 20) - 15)
             junk += std::string(std::min<size_t>(99, (1u << 20) - 15 - junk.size()), 'j') + "\n";
         return junk + "7\tPortName=COM17\n" + kPair9;
     },
     {"COM5", "COM17", "COM12"}, {"COM1"}},
    {"ValidLinesAfter17MiBOfJunk",
     [] { return kPair5 + Repeat(std::string(4095, 'z') + "\n", (17u << 20) / 4096) + kPair9; },
     {"COM5", "COM12", "ZPVA9"}},
    {"BinaryBetweenValidLines",
     [] { return kPair5 + RandomBytes(20000, 3) + "\n" + kPair9; }, {"COM5", "COM12"}},
    {"NulBytesInLines",
     [] { return std::string("3\tPortName=COM3\0,x=y\n", 21) + kPair5 + std::string("\0\0\0\n", 4) + kPair9; },
     {"COM5", "COM12"}},
    {"CrLfLineEnds",
     [] { return "5\tPortName=COM5,OverrunCheck=yes\r\n9\tPortName=COM12\r\n"; }, {"COM5", "COM12"}},
    {"DuplicateNumbersAndNames",
     [] {
         return kPair5 + "5\tPortName=COM6\n" + "6\tPortName=COM5\n" + kPair9 + kPair9;
     },
     {"COM5", "COM12", "ZPVA5", "ZPVA9"}},
    {"OutOfRangeEntries",
     [] {
         return std::string("256\tPortName=COM20\n-1\tPortName=COM21\n007\tPortName=COM22\n") +
                "8\tPortName=COM0\n10\tPortName=COM257\n11\tPortName=LPT1\n12\tPortName=../../etc/x\n" +
                "13\tPortName=COM23,OverrunCheck=" + std::string(200, 'y') + "\n" +
                "99999999999999999999\tPortName=COM24\n14 PortName=COM25\n" + kPair5 + kPair9;
     },
     {"COM5", "COM12"}},
    {"OneLineOfAMegabyte",
     [] { return kPair5 + "4\tPortName=COM4," + std::string(1 << 20, 'k') + "=v\n" + kPair9; },
     {"COM5", "COM12"}},
    {"HugeOver16MiBWithValidLinesFirst",
     [] { return kPair5 + kPair9 + Repeat(std::string(4095, 'z') + "\n", (17u << 20) / 4096); },
     {"COM5", "COM12"}},
    {"ManyBadLines",
     [] { return kPair5 + Repeat("x\n", 100000) + kPair9; }, {"COM5", "COM12"}},
};

INSTANTIATE_TEST_SUITE_P(Cases, BadPairsFile, ::testing::ValuesIn(kPairsCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A pairs.dat or comdb.dat that cannot be read as a file: the program runs
// with no pairs (or no claims), does not hang, and leaves the thing alone.
TEST(UnreadablePairsFile, ADirectoryFifoOrForbiddenFileIsLeftAlone)
{
    using Folder = const uitest::TempFolder&;
    const struct {
        const char* name;
        std::function<void(Folder)> make, check;
    } kCases[] = {
        {"directory",
         [](Folder f) {
             fs::create_directory(f.File("pairs.dat"));
             f.Write("pairs.dat/keep", "x");
         },
         [](Folder f) { EXPECT_EQ(f.Read("pairs.dat/keep"), "x"); }},
        {"fifos",
         [](Folder f) {
             ASSERT_EQ(mkfifo(f.File("pairs.dat").c_str(), 0644), 0);
             ASSERT_EQ(mkfifo(f.File("comdb.dat").c_str(), 0644), 0);
         },
         [](Folder f) { EXPECT_TRUE(fs::is_fifo(f.File("pairs.dat"))); }},
        // Root reads a file without read permission; the cases above cover it.
        {"no read permission",
         [](Folder f) {
             f.Write("pairs.dat", kPair5);
             chmod(f.File("pairs.dat").c_str(), geteuid() == 0 ? 0644 : 0);
         },
         [](Folder f) {
             chmod(f.File("pairs.dat").c_str(), 0644);
             EXPECT_EQ(f.Read("pairs.dat"), kPair5);
         }},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        ProgramRun run;
        c.make(run.Folder());
        run.Folder().Write("options.dat", GoodOptions());
        run.Start();
        ASSERT_TRUE(run.WaitUp({})) << run.Stderr();
        EXPECT_EQ(run.Stop(), 0);
        ExpectQuiet(run.Stderr());
        c.check(run.Folder());
    }
}

}  // namespace
