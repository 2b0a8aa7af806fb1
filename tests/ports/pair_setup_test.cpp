#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/bridge_side.h"
#include "ports/pair_setup.h"
#include "ports/pty_pair.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

const char kUserText[] = "PortName=COM5,OverrunCheck=yes,BaudPacing=yes";

using Listing = std::vector<std::pair<uint32_t, std::string>>;

void Collect(uint32_t pair, char* params, void* context)
{
    static_cast<Listing*>(context)->emplace_back(pair, params);
}

Listing Listed(PairSetup& ps)
{
    Listing l;
    ps.List(Collect, &l);
    return l;
}

int FdCount()
{
    int n = 0;
    for ([[maybe_unused]] auto& e : fs::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

// Writes data into one end and reads it back from the other.
std::string Pass(int from, int to, const std::string& data)
{
    EXPECT_EQ(write(from, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    std::string got;
    char buf[512];
    pollfd p{to, POLLIN, 0};
    while (got.size() < data.size() && poll(&p, 1, 1000) == 1 && (p.revents & POLLIN)) {
        ssize_t n = read(to, buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

bool Readable(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1 && (p.revents & POLLIN);
}

class PairSetupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/vr_pairs_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override
    {
        ClosePairSetup();
        fs::remove_all(dir_);
    }
    std::string P(const std::string& rel) const { return dir_ + "/" + rel; }
    std::string Read(const std::string& rel) const
    {
        std::ifstream f(P(rel), std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    void Write(const std::string& rel, const std::string& content) const
    {
        std::ofstream(P(rel), std::ios::binary) << content;
    }
    std::string Target(const std::string& rel) const
    {
        std::error_code ec;
        return fs::read_symlink(P(rel), ec).string();
    }
    std::set<std::string> DevEntries() const
    {
        std::set<std::string> names;
        for (auto& e : fs::directory_iterator(P("dev")))
            names.insert(e.path().filename().string() + " -> " + Target("dev/" + e.path().filename().string()));
        return names;
    }
    // Pair n named COMc, made the way the port commands make it.
    void Add(PairSetup& ps, uint32_t n, int c)
    {
        ASSERT_TRUE(ps.Install(n, "-", "-"));
        std::string text = "PortName=COM" + std::to_string(c) + ",OverrunCheck=yes,BaudPacing=yes";
        ASSERT_EQ(ps.Change(("ZPVA" + std::to_string(n)).c_str(), text.c_str()), 0);
        ASSERT_EQ(ps.Change(("ZPVB" + std::to_string(n)).c_str(), "HideDevice=yes,OverrunCheck=yes"), 0);
    }

    std::string dir_;
};

TEST_F(PairSetupTest, InstalledPairCarriesEveryByteRawBetweenItsSides)
{
    auto ps = PairSetup::Open(dir_);
    ASSERT_TRUE(ps && ps->OwnsFolder());
    Add(*ps, 5, 5);
    std::string pts = Target("dev/COM5");
    EXPECT_EQ(pts.rfind("/dev/pts/", 0), 0u);
    EXPECT_EQ(Target("dev/ZPVA5"), pts);
    EXPECT_EQ(Read("pairs.dat"), std::string("5\t") + kUserText + "\n");  // the bridge side stored nothing
    EXPECT_EQ(Read("comdb.dat"), "COM5\n");

    UniqueFd user(open(P("dev/COM5").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(user.IsValid());
    termios t{};
    ASSERT_EQ(tcgetattr(user.Get(), &t), 0);
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO));
    EXPECT_FALSE(t.c_oflag & OPOST);
    cfsetspeed(&t, B9600);
    EXPECT_EQ(tcsetattr(user.Get(), TCSANOW, &t), 0);

    int bridge = ps->OpenBridgeSide("ZPVB5");
    ASSERT_GE(bridge, 0);
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    all += "\r\n\n\r\x03\x04\x11\x13";
    EXPECT_EQ(Pass(user.Get(), bridge, all), all);
    EXPECT_EQ(Pass(bridge, user.Get(), all), all);
    EXPECT_FALSE(Readable(bridge, 100));  // nothing echoed back into the bridge

    UniqueFd byPair(open(P("dev/ZPVA5").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    EXPECT_EQ(Pass(byPair.Get(), bridge, "zpva"), "zpva");
    ps->CloseBridgeSide("ZPVB5", bridge);
}

TEST_F(PairSetupTest, BridgeSideOpensOnceAtATime)
{
    auto ps = PairSetup::Open(dir_);
    Add(*ps, 5, 5);
    Add(*ps, 6, 6);
    int a = ps->OpenBridgeSide("ZPVB5");
    ASSERT_GE(a, 0);
    errno = 0;
    EXPECT_EQ(ps->OpenBridgeSide("ZPVB5"), -1);
    EXPECT_EQ(errno, EBUSY);
    for (const char* unknown : {"ZPVB7", "ZPVA5", "../ZPVB5"}) {
        errno = 0;
        EXPECT_EQ(ps->OpenBridgeSide(unknown), -1) << unknown;
        EXPECT_EQ(errno, ENOENT) << unknown;
    }
    int b = ps->OpenBridgeSide("\\\\.\\ZPVB6");
    ASSERT_GE(b, 0);
    ps->CloseBridgeSide("ZPVB5", a);
    a = ps->OpenBridgeSide("ZPVB5");
    EXPECT_GE(a, 0);
    ps->CloseBridgeSide("ZPVB5", a);

    // A bridge that outlived its pair closes late: the new pair 6 stays taken.
    ASSERT_TRUE(ps->Remove(6));
    ASSERT_TRUE(ps->Install(6, "-", "-"));
    int c = ps->OpenBridgeSide("ZPVB6");
    ASSERT_GE(c, 0);
    ps->CloseBridgeSide("ZPVB6", b);
    EXPECT_EQ(ps->OpenBridgeSide("ZPVB6"), -1);
    ps->CloseBridgeSide("ZPVB6", c);
}

TEST_F(PairSetupTest, BridgeThreadsNeverShareASideWhileTheUserInterfaceEditsPairs)
{
    auto ps = PairSetup::Open(dir_);
    Add(*ps, 5, 5);
    std::atomic<int> holders{0}, overlaps{0}, opened{0}, otherErrors{0};
    std::atomic<bool> stop{false};
    auto bridge = [&] {
        while (!stop) {
            int fd = ps->OpenBridgeSide("ZPVB5");
            if (fd < 0) {
                otherErrors += errno != EBUSY;
                continue;
            }
            overlaps += ++holders > 1;
            ++opened;
            --holders;
            ps->CloseBridgeSide("ZPVB5", fd);
        }
    };
    std::thread a(bridge), b(bridge);
    for (int i = 0; i < 30; ++i) {
        EXPECT_TRUE(ps->Install(6, "-", "-"));
        EXPECT_EQ(ps->Change("ZPVA6", "PortName=COM6"), 0);
        EXPECT_EQ(ps->Change("ZPVA5", i % 2 ? "PortName=COM5" : "PortName=COM7"), 0);
        EXPECT_TRUE(ps->Remove(6));
    }
    stop = true;
    a.join();
    b.join();
    EXPECT_EQ(overlaps, 0);
    EXPECT_EQ(otherErrors, 0);
    EXPECT_GT(opened, 0);
}

TEST_F(PairSetupTest, RenameMovesLinkAndClaimAndARefusedOneChangesNothing)
{
    auto ps = PairSetup::Open(dir_);
    Add(*ps, 5, 5);
    Add(*ps, 6, 6);
    std::string pts5 = Target("dev/ZPVA5");
    ASSERT_EQ(ps->Change("ZPVA5", "PortName=COM7,OverrunCheck=yes,BaudPacing=no"), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(P("dev/COM5"))));
    EXPECT_EQ(Target("dev/COM7"), pts5);
    EXPECT_EQ(Read("comdb.dat"), "COM6\nCOM7\n");
    EXPECT_EQ(Read("pairs.dat"), "5\tPortName=COM7,OverrunCheck=yes,BaudPacing=no\n"
                                 "6\tPortName=COM6,OverrunCheck=yes,BaudPacing=yes\n");

    fs::create_symlink("/dev/null", P("dev/COM9"));           // someone else's device
    fs::create_symlink("/nonexistent/tty", P("dev/COM8"));    // points nowhere
    auto dev = DevEntries();
    std::string pairs = Read("pairs.dat"), comdb = Read("comdb.dat");
    for (auto [side, text] : std::vector<std::pair<const char*, const char*>>{
             {"ZPVA5", "PortName=COM6"}, {"ZPVA5", "PortName=COM9"}, {"ZPVA5", "PortName=COM0"},
             {"ZPVA5", "PortName=../../x"}, {"ZPVA5", "Speed=9600"}, {"ZPVA5", ""}, {"ZPVA5", "PortName"},
             {"ZPVA9", "PortName=COM10"}, {"ZPVC5", "PortName=COM10"}, {"ZPVB9", "HideDevice=yes"},
             {"ZPVB5", "PortName=COM10"}, {nullptr, "PortName=COM10"}, {"ZPVA5", nullptr}}) {
        EXPECT_NE(ps->Change(side, text), 0) << (side ? side : "null") << " " << (text ? text : "null");
    }
    std::string longText = "PortName=COM10,OverrunCheck=yes,BaudPacing=" + std::string(90, 'y');
    EXPECT_NE(ps->Change("ZPVA5", longText.c_str()), 0);
    EXPECT_EQ(DevEntries(), dev);
    EXPECT_EQ(Read("pairs.dat"), pairs);
    EXPECT_EQ(Read("comdb.dat"), comdb);

    // A dead link is no device: the name is free.
    EXPECT_EQ(ps->Change("ZPVA5", "PortName=COM8"), 0);
    EXPECT_EQ(Target("dev/COM8"), pts5);
}

TEST_F(PairSetupTest, RemoveEndsThePairAndReleasesItsName)
{
    auto ps = PairSetup::Open(dir_);
    Add(*ps, 5, 5);
    UniqueFd user(open(P("dev/COM5").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(user.IsValid());
    ASSERT_TRUE(ps->Remove(5));
    EXPECT_TRUE(fs::is_empty(P("dev")));
    EXPECT_EQ(Read("comdb.dat"), "");
    EXPECT_EQ(Read("pairs.dat"), "");
    EXPECT_TRUE(Listed(*ps).empty());
    EXPECT_EQ(ps->OpenBridgeSide("ZPVB5"), -1);
    char c;
    EXPECT_LE(read(user.Get(), &c, 1), 0);  // the program sees the line hung up
    EXPECT_NE(errno, EAGAIN);
    EXPECT_FALSE(ps->Remove(5));
}

TEST_F(PairSetupTest, CurrentLayerServesTheProgramsCalls)
{
    ASSERT_TRUE(OpenPairSetup(dir_));
    EXPECT_EQ(GetBridgeSideProvider(), CurrentPairSetup());
    EXPECT_EQ(InstallREdi("-", "-", 0), 1);
    EXPECT_EQ(ChangeREdi("ZPVA0", "PortName=COM3,OverrunCheck=yes,BaudPacing=yes"), 0);
    EXPECT_EQ(InstallREdi("PortName=COM4", "HideDevice=yes", 2), 1);
    EXPECT_EQ(InstallREdi("PortName=COM4", "-", 3), 0);  // COM4 taken: nothing made
    EXPECT_EQ(InstallREdi("-", "-", 0), 0);

    // The port list splits the text in place.
    Listing l;
    EXPECT_EQ(ListREdi(0, 0, [](uint32_t n, char* text, void* ctx) {
        char* save;
        STRTOK_R(text, ",", &save);
        static_cast<Listing*>(ctx)->emplace_back(n, text);
    }, &l), 1);
    EXPECT_EQ(l, (Listing{{0, "PortName=COM3"}, {2, "PortName=COM4"}}));

    char buf[80];
    EXPECT_GT(QueryDosDevice("COM3", buf, sizeof buf), 0u);
    EXPECT_EQ(buf, Target("dev/COM3"));
    EXPECT_GT(QueryDosDevice("ZPVB2", buf, sizeof buf), 0u);
    errno = 0;
    EXPECT_EQ(QueryDosDevice("COM3", buf, 5), 0u);
    EXPECT_EQ(errno, ERANGE);
    for (const char* none : {"COM1", "ZPVB1", "../pairs.dat"}) {
        errno = 0;
        EXPECT_EQ(QueryDosDevice(none, buf, sizeof buf), 0u) << none;
        EXPECT_EQ(errno, ENOENT) << none;
    }
    EXPECT_EQ(SerialCommNames(), (std::vector<std::string>{"COM3", "COM4"}));
    EXPECT_EQ(PairDevicePath("COM3"), dir_ + "/dev/COM3");
    EXPECT_EQ(PairDevicePath("../COM3"), "");

    EXPECT_EQ(RemoveREdi(2), 1);
    EXPECT_EQ(SerialCommNames(), (std::vector<std::string>{"COM3"}));
    ClosePairSetup();
    EXPECT_EQ(GetBridgeSideProvider(), nullptr);
    EXPECT_TRUE(fs::is_empty(P("dev")));
    EXPECT_NE(ChangeREdi("ZPVA0", "PortName=COM3"), 0);
    EXPECT_EQ(ListREdi(0, 0, Collect, &l), 0);
}

TEST_F(PairSetupTest, RestartRecreatesListedPairsAndClearsStaleLinks)
{
    // Another program's terminal, which a link from a crashed run still names.
    UniqueFd other;
    std::string otherPts;
    ASSERT_TRUE(OpenRawPty(&other, &otherPts));
    fs::create_directory(P("dev"));
    fs::create_symlink(otherPts, P("dev/COM1"));
    fs::create_symlink("/nonexistent", P("dev/ZPVA9"));
    fs::create_symlink("/nonexistent", P("dev/junk"));
    fs::create_symlink("/dev/null", P("dev/COM9"));
    Write("dev/notes.txt", "mine");
    Write("pairs.dat", "1\tPortName=COM1\n2\tPortName=../../escape\nx\n"
                       "3\tPortName=COM3,BaudPacing=yes\n\x01\x00\xff\n"s);

    auto ps = PairSetup::Open(dir_);
    ASSERT_TRUE(ps && ps->OwnsFolder());
    Listing expected{{1, "PortName=COM1"}, {3, "PortName=COM3,BaudPacing=yes"}};
    EXPECT_EQ(Listed(*ps), expected);
    EXPECT_NE(Target("dev/COM1"), otherPts);
    EXPECT_EQ(Target("dev/COM1"), Target("dev/ZPVA1"));
    EXPECT_EQ(Target("dev/COM3"), Target("dev/ZPVA3"));
    EXPECT_EQ(Target("dev/COM9"), "/dev/null");
    EXPECT_FALSE(fs::exists(fs::symlink_status(P("dev/ZPVA9"))));
    EXPECT_FALSE(fs::exists(fs::symlink_status(P("dev/junk"))));
    EXPECT_FALSE(fs::exists(fs::symlink_status(P("escape"))));
    EXPECT_EQ(Read("comdb.dat"), "COM1\nCOM3\n");

    ps.reset();  // no link outlives its pair
    EXPECT_EQ(DevEntries(), (std::set<std::string>{"COM9 -> /dev/null", "notes.txt -> "}));

    ps = PairSetup::Open(dir_);
    EXPECT_EQ(Listed(*ps), expected);
    int bridge = ps->OpenBridgeSide("ZPVB3");
    UniqueFd user(open(P("dev/COM3").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    EXPECT_EQ(Pass(user.Get(), bridge, "again"), "again");
    ps->CloseBridgeSide("ZPVB3", bridge);
}

TEST_F(PairSetupTest, SecondCopySeesThePairsButLeavesThemAloneAndNothingLeaks)
{
    int fds = FdCount();
    auto first = PairSetup::Open(dir_);
    Add(*first, 5, 5);
    auto second = PairSetup::Open(dir_);
    ASSERT_TRUE(second);
    EXPECT_FALSE(second->OwnsFolder());
    EXPECT_EQ(Listed(*second), Listed(*first));
    auto dev = DevEntries();
    std::string pairs = Read("pairs.dat");

    errno = 0;
    EXPECT_EQ(second->OpenBridgeSide("ZPVB5"), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(second->OpenBridgeSide("ZPVB6"), -1);
    EXPECT_EQ(errno, ENOENT);
    char buf[80];
    EXPECT_GT(second->QueryDevice("ZPVB5", buf, sizeof buf), 0u);
    EXPECT_GT(second->QueryDevice("COM5", buf, sizeof buf), 0u);
    EXPECT_FALSE(second->Install(6, "-", "-"));
    EXPECT_FALSE(second->Remove(5));
    EXPECT_FALSE(second->ClaimRelease(5, false));
    EXPECT_NE(second->Change("ZPVA5", "PortName=COM7"), 0);
    EXPECT_EQ(second->Change("ZPVA5", kUserText), 0);  // confirms what stands

    Add(*first, 6, 6);  // the second copy reads the owner's file anew
    EXPECT_EQ(Listed(*second).size(), 2u);
    EXPECT_EQ(second->OpenBridgeSide("ZPVB6"), -1);
    EXPECT_EQ(errno, EBUSY);
    ASSERT_TRUE(first->Remove(6));

    second.reset();
    EXPECT_EQ(DevEntries(), dev);
    EXPECT_EQ(Read("pairs.dat"), pairs);
    int bridge = first->OpenBridgeSide("ZPVB5");
    EXPECT_GE(bridge, 0);
    first->CloseBridgeSide("ZPVB5", bridge);

    first.reset();
    auto third = PairSetup::Open(dir_);
    EXPECT_TRUE(third->OwnsFolder());
    third.reset();
    EXPECT_EQ(FdCount(), fds);
}

TEST_F(PairSetupTest, AnUnreadablePairsFileIsNeverOverwritten)
{
    // A FIFO stands for any pairs.dat that exists but cannot be read (root
    // reads past permissions): saving would replace the user's pairs.
    ASSERT_EQ(mkfifo((dir_ + "/pairs.dat").c_str(), 0644), 0);
    auto ps = PairSetup::Open(dir_);
    ASSERT_TRUE(ps);
    EXPECT_TRUE(ps->OwnsFolder());
    EXPECT_FALSE(ps->Install(3, "-", "-"));
    struct stat st{};
    ASSERT_EQ(lstat((dir_ + "/pairs.dat").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

}  // namespace
