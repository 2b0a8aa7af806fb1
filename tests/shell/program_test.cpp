// The built program started as a user would on damaged files: copied into a
// folder of its own, started from "/" without a display, ended with SIGTERM.
#include <gtest/gtest.h>

#include <functional>

#include "program_run.h"

namespace fs = std::filesystem;
using Folder = const uitest::TempFolder&;

namespace {

using uitest::Repeat;

const std::string kPair5 = "5\tPortName=COM5,OverrunCheck=yes,BaudPacing=yes\n";
const std::string kPair9 = "9\tPortName=COM12,OverrunCheck=yes,BaudPacing=yes\n";
const std::string kPort5 = uitest::PortElement("COM5", "udp", "127.0.0.1", 9, "0.0.0.0", 0);

// ---- damaged files: options.dat and pairs.dat damaged together, a kind of damage a row
std::string Junk17MiB() { return Repeat(std::string(4095, 'z') + "\n", (17u << 20) / 4096); }
void Put(Folder f, const std::string& options, const std::string& pairs)
{
    f.Write("options.dat", options);
    f.Write("pairs.dat", pairs);
}
struct Damage {
    const char* name;
    std::function<void(Folder)> make;
    std::vector<std::string> links = {"COM5", "COM12", "ZPVA5", "ZPVA9"};  // made while running
};
void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

class DamagedFiles : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedFiles, StartWithDefaultsStayQuietKeepEveryValidPairAndEndOnSigterm)
{
    uitest::ProgramRun run;
    GetParam().make(run.Folder());
    // Its type and time of change: any rewrite shows.
    auto stat = [&] { return std::pair(fs::symlink_status(run.Folder().File("pairs.dat")).type(),
                                       fs::last_write_time(run.Folder().File("pairs.dat"))); };
    const auto pairs = stat();
    ASSERT_TRUE((run.Start(), run.WaitUp(GetParam().links))) << run.Stderr();
    EXPECT_FALSE(uitest::IsLink(run.Folder().File("dev/COM1"))) << "a COM17 cut into COM1";
    EXPECT_EQ(run.Stop(), 0) << run.Stderr();
    // At most a short note; a save that cannot be made is told, and does not hold up the end.
    const std::string err = run.Stderr();
    EXPECT_LE(std::count(err.begin(), err.end(), '\n'), 8) << err;
    const std::string options = run.Folder().File("options.dat");
    EXPECT_EQ(err.find("Open or Write to Option File Fail") != std::string::npos,
              !fs::is_regular_file(options)) << err;  // a device or folder is never written over
    EXPECT_TRUE(stat() == pairs) << "the user's pairs.dat was rewritten";
    for (const std::string& l : GetParam().links)
        EXPECT_FALSE(uitest::IsLink(run.Folder().File("dev/" + l))) << l << " outlived the program";
    // Written again where it can be: a sound document with every port, the flags it could not read off.
    if (fs::is_regular_file(options)) {
        const std::string saved = run.Folder().Read("options.dat");
        EXPECT_EQ(saved.rfind("<OPTIONS>\r\n<SYSTEM>\r\n<ADDNEW>FALSE</ADDNEW>\r\n", 0), 0u) << saved.substr(0, 300);
        for (const std::string& l : GetParam().links)
            EXPECT_TRUE(l.rfind("COM", 0) || saved.find("<" + l + ">\r\n") != std::string::npos) << l;
    }
}

const Damage kDamages[] = {
    {"OptionsCutMidTagAndPairsEmpty", [](Folder f) { Put(f, kPort5.substr(0, 40), ""); }, {}},
    {"BothBinary", [](Folder f) {  // bytes of every value: a piece of the program itself
         const std::string bin = f.Read("velkaro_redi").substr(8192, 65536);
         Put(f, bin, kPair5 + bin.substr(0, 20000) + "\n" + kPair9); }},
    {"BothOver16MiB", [](Folder f) {
         Put(f, uitest::OptionsDocument(true, {"<!--" + std::string(17u << 20, 'x') + "-->", kPort5}),
             kPair5 + kPair9 + Junk17MiB()); }},
    {"ManyPortElementsAndBadLines", [](Folder f) {
         Put(f, uitest::OptionsDocument(false, std::vector<std::string>(20000, kPort5)),
             kPair5 + Repeat("x\n", 100000) + "4\tPortName=COM4," + std::string(1 << 20, 'k') + "=v\n" + kPair9); }},
    {"NestedDeeplyAndAPairAcrossTheFirstMebibyte", [](Folder f) {  // read in pieces, it must stay COM17
         Put(f, "<OPTIONS>" + Repeat("<A>", 200000) + Repeat("</A>", 200000) + "</OPTIONS>",
             (kPair5 + Repeat(std::string(99, 'j') + "\n", 10500)).substr(0, (1u << 20) - 16) + "\n7\tPortName=COM17\n" + kPair9); },
     {"COM5", "COM12", "COM17"}},
    {"NestedNeverClosedAndPairsAfter17MiBOfJunk", [](Folder f) {
         Put(f, Repeat("<COM5>", 500000), kPair5 + Junk17MiB() + kPair9 + "7\tPortName=COM17"); },  // no final newline
     {"COM5", "COM12", "COM17"}},
    {"BothDirectories", [](Folder f) {
         fs::create_directories(f.File("options.dat"));
         fs::create_directories(f.File("pairs.dat/keep")); }, {}},
    {"OptionsALinkToADeviceAndFifosForPairsAndClaims", [](Folder f) {
         fs::create_symlink("/dev/zero", f.File("options.dat"));
         ASSERT_EQ(mkfifo(f.File("pairs.dat").c_str(), 0644) | mkfifo(f.File("comdb.dat").c_str(), 0644), 0); }, {}},
    {"OptionsADanglingLink", [](Folder f) {
         f.Write("pairs.dat", kPair5 + kPair9);
         fs::create_symlink(f.File("nowhere/options.dat"), f.File("options.dat")); }, {"COM5", "COM12"}},
};

INSTANTIATE_TEST_SUITE_P(Rows, DamagedFiles, ::testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
