#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>

#include <csignal>
#include <filesystem>
#include <set>

#include "../net_helpers.h"
#include "../test_folder.h"
#include "ports/com_repair.h"
#include "ports/pair_setup.h"
#include "ports/pty_pair.h"

namespace fs = std::filesystem;

namespace {

using Listing = std::vector<PairEntry>;

class PairSetupTest : public ::testing::Test {
protected:
    std::string P(const std::string& rel) const { return folder_.File(rel); }
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
    // Pair n named COMn, made the way the port commands make it.
    void Add(PairSetup& ps, uint32_t n)
    {
        const std::string user = "PortName=COM" + std::to_string(n) + ",OverrunCheck=yes,BaudPacing=yes";
        ASSERT_TRUE(ps.Install(n, user, "HideDevice=yes,OverrunCheck=yes"));
    }
    uitest::TempFolder folder_;
    const std::string dir_ = folder_.Path();
};

TEST_F(PairSetupTest, APairCarriesEveryByteRawAndItsBridgeSideOpensOnceAtATime)
{
    auto ps = PairSetup::Open(dir_);
    ASSERT_TRUE(ps && ps->OwnsFolder());
    Add(*ps, 5);
    // Through this process to the terminal: a link that ends with it.
    EXPECT_EQ(Target("dev/ZPVA5").rfind("/proc/" + std::to_string(getpid()) + "/fd/", 0), 0u);
    EXPECT_EQ(fs::canonical(P("dev/ZPVA5")).string().rfind("/dev/pts/", 0), 0u);
    EXPECT_EQ(Target("dev/COM5"), Target("dev/ZPVA5"));
    EXPECT_EQ(folder_.Read("pairs.dat") + folder_.Read("comdb.dat"),
              "5\tPortName=COM5,OverrunCheck=yes,BaudPacing=yes\nCOM5\n");
    UniqueFd user(open(P("dev/COM5").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    termios t{};
    ASSERT_EQ(tcgetattr(user.Get(), &t), 0);
    EXPECT_FALSE((t.c_lflag & (ICANON | ECHO | ISIG)) || (t.c_iflag & (ICRNL | IXON)) || (t.c_oflag & OPOST));
    int bridge = ps->OpenBridgeSide("ZPVB5");
    ASSERT_GE(bridge, 0);
    std::string all = "\r\n\n\r\x03\x04\x11\x13";
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    ASSERT_TRUE(testnet::WriteAll(user.Get(), all) && testnet::WriteAll(bridge, all + "!"));
    EXPECT_EQ(testnet::ReadSome(bridge, all.size(), 1000), all);
    EXPECT_EQ(testnet::ReadSome(user.Get(), all.size() + 1, 1000), all + "!");
    pollfd echo{bridge, POLLIN, 0};
    EXPECT_EQ(poll(&echo, 1, 100), 0);  // nothing echoed back into the bridge
    user.Reset();  // the layer holds no opening of its own: the bridge sees the hangup
    EXPECT_EQ(poll(&echo, 1, 0), 1);
    EXPECT_TRUE(echo.revents & POLLHUP);
    EXPECT_TRUE(ps->OpenBridgeSide("ZPVB5") == -1 && errno == EBUSY);
    for (const char* other : {"../ZPVB5", "\\\\.\\ZPVB5"})
        EXPECT_EQ(ps->OpenBridgeSide(other), -1) << other;
    // A bridge that outlived its pair closes late: the new pair stays taken.
    ASSERT_TRUE(ps->Remove(5));
    ASSERT_TRUE(ps->Install(5));
    int now = ps->OpenBridgeSide("ZPVB5");
    ASSERT_GE(now, 0);
    ps->CloseBridgeSide("ZPVB5", bridge);
    EXPECT_EQ(ps->OpenBridgeSide("ZPVB5"), -1);
    ps->CloseBridgeSide("ZPVB5", now);
}

TEST_F(PairSetupTest, RenameMovesLinkAndClaimARefusedChangeChangesNothingAndRemoveEndsThePair)
{
    auto ps = PairSetup::Open(dir_);
    Add(*ps, 5);
    Add(*ps, 6);
    const std::string pts5 = Target("dev/ZPVA5");
    ASSERT_TRUE(ps->Change("ZPVA5", "PortName=COM7,OverrunCheck=yes,BaudPacing=no"));
    EXPECT_EQ(Target("dev/COM7") + Target("dev/COM5"), pts5);  // the old link gone
    fs::create_symlink("/dev/null", P("dev/COM9"));         // someone else's device
    fs::create_symlink("/nonexistent/tty", P("dev/COM8"));  // points nowhere
    const auto dev = DevEntries();
    const std::string files = folder_.Read("pairs.dat") + folder_.Read("comdb.dat");
    const std::string tooLong = "PortName=COM10,OverrunCheck=yes,BaudPacing=" + std::string(90, 'y');
    for (auto [side, text] : std::vector<std::pair<const char*, const char*>>{
             {"ZPVA5", "PortName=COM6"}, {"ZPVA5", "PortName=COM9"}, {"ZPVA5", "PortName=../../x"},
             {"ZPVA5", "Speed=9600"}, {"ZPVA9", "PortName=COM10"}, {"ZPVB5", "PortName=COM10"},
             {"", "PortName=COM10"}, {"ZPVA5", ""},
             {"ZPVA5", tooLong.c_str()}})  // refused whole, never cut into another name
        EXPECT_FALSE(ps->Change(side, text)) << side << " " << text;
    EXPECT_EQ(DevEntries(), dev);
    EXPECT_EQ(folder_.Read("pairs.dat") + folder_.Read("comdb.dat"), files);
    EXPECT_TRUE(ps->Change("ZPVA5", "PortName=COM8"));  // a dead link is no device
    EXPECT_EQ(Target("dev/COM8"), pts5);
    UniqueFd user(open(P("dev/COM8").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(ps->Remove(5));
    EXPECT_EQ(folder_.Read("comdb.dat"), "COM6\n");
    EXPECT_EQ(ps->List(), (Listing{{6, "PortName=COM6,OverrunCheck=yes,BaudPacing=yes"}}));
    char c;
    EXPECT_LE(read(user.Get(), &c, 1), 0);  // the program sees the line hung up
    EXPECT_NE(errno, EAGAIN);
}

TEST_F(PairSetupTest, AnInstallTakesItsNameWholeAndClaimsWithoutADeviceAreStale)
{
    auto ps = PairSetup::Open(dir_);
    EXPECT_TRUE(ps->Install(0, "PortName=COM3,OverrunCheck=yes", "HideDevice=yes"));
    EXPECT_FALSE(ps->Install(2, "PortName=COM3"));  // COM3 taken: nothing made
    EXPECT_EQ(ps->List(), (Listing{{0, "PortName=COM3,OverrunCheck=yes"}}));
    for (int n : {256, 9, 1})
        ASSERT_TRUE(ps->SetComClaim(n, true));
    fs::create_directory(P(std::string(200, 'd')));
    fs::create_symlink(P(std::string(200, 'd')), P("dev/COM9"));
    EXPECT_EQ(StaleComClaims(*ps), (std::vector<std::string>{"COM1", "COM256"}));
    EXPECT_TRUE(ReleaseComClaim(*ps, "COM256"));
    fs::remove(P("dev/COM9"));
    EXPECT_EQ(StaleComClaims(*ps), (std::vector<std::string>{"COM1", "COM9"}));
}

TEST_F(PairSetupTest, RestartRecreatesThePairsAndClearsStaleLinksAndASecondCopyChangesNothing)
{
    // Another program's terminal, which a link from a crashed run still names.
    UniqueFd other;
    std::string otherPts;
    ASSERT_TRUE(OpenRawPty(&other, &otherPts));
    fs::create_directory(P("dev"));
    fs::create_symlink(otherPts, P("dev/COM1"));
    fs::create_symlink("/nonexistent", P("dev/ZPVA9"));
    fs::create_symlink("/dev/null", P("dev/COM9"));
    folder_.Write("dev/notes.txt", "mine");
    folder_.Write("pairs.dat", "1\tPortName=COM1\n3\tPortName=COM3\n");
    auto fds = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()); };
    const auto before = fds();
    for (int run = 0; run < 2; ++run) {
        auto ps = PairSetup::Open(dir_);
        EXPECT_TRUE(ps->OwnsFolder());
        EXPECT_EQ(ps->List(), (Listing{{1, "PortName=COM1"}, {3, "PortName=COM3"}}));
        EXPECT_NE(Target("dev/COM1"), otherPts);
        EXPECT_EQ(Target("dev/COM1") + Target("dev/COM3"), Target("dev/ZPVA1") + Target("dev/ZPVA3"));
        EXPECT_EQ(folder_.Read("comdb.dat"), "COM1\nCOM3\n");
        auto second = PairSetup::Open(dir_);
        EXPECT_FALSE(second->OwnsFolder());
        const auto dev = DevEntries();
        EXPECT_TRUE(second->OpenBridgeSide("ZPVB1") == -1 && errno == EBUSY);
        EXPECT_FALSE(second->Install(6) || second->Remove(1) || second->SetComClaim(1, false));
        EXPECT_FALSE(second->Change("ZPVA1", "PortName=COM7"));
        EXPECT_EQ(second->LastError(), P("pairs.lock") + " is held by another running copy of the program");
        Add(*ps, 6);
        EXPECT_EQ(second->List(), ps->List());  // the owner's file read anew
        ASSERT_TRUE(ps->Remove(6));
        second.reset();
        EXPECT_EQ(DevEntries(), dev);
        EXPECT_EQ(folder_.Read("pairs.dat"), "1\tPortName=COM1\n3\tPortName=COM3\n");
        ps.reset();  // no link outlives its pair
        EXPECT_EQ(DevEntries(), (std::set<std::string>{"COM9 -> /dev/null", "notes.txt -> "}));
    }
    EXPECT_EQ(fds(), before);
    // A FIFO stands for any pairs.dat that cannot be read (root reads past
    // permissions): saving would replace the user's pairs.
    ASSERT_EQ(unlink(P("pairs.dat").c_str()), 0);
    ASSERT_EQ(mkfifo(P("pairs.dat").c_str(), 0644), 0);
    auto owner = PairSetup::Open(dir_);
    EXPECT_FALSE(owner->Install(3));
    EXPECT_NE(owner->LastError().find("cannot read " + P("pairs.dat")), std::string::npos) << owner->LastError();
    EXPECT_TRUE(fs::is_fifo(P("pairs.dat")));
    owner.reset();
    // A lock that cannot be had is no other copy's: it is said as it is.
    fs::remove(P("pairs.lock"));
    fs::create_directory(P("pairs.lock"));
    owner = PairSetup::Open(dir_);
    EXPECT_FALSE(owner->OwnsFolder() || owner->HeldElsewhere());
    EXPECT_EQ(owner->LockError(), P("pairs.lock") + " is a folder");
}

TEST_F(PairSetupTest, AKilledOwnerLeavesNoLinkThatLeadsToATerminal)
{
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {  // the program, killed with its pair in place
        auto ps = PairSetup::Open(dir_);
        if (ps && ps->Install(5, "PortName=COM5"))
            raise(SIGKILL);
        _exit(1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    // Terminals opened since, one of them likely on the freed number.
    std::vector<UniqueFd> masters(4);
    std::string slave;
    for (UniqueFd& m : masters)
        ASSERT_TRUE(OpenRawPty(&m, &slave));
    for (const char* name : {"dev/COM5", "dev/ZPVA5"}) {
        ASSERT_TRUE(fs::is_symlink(P(name)));
        EXPECT_LT(UniqueFd(open(P(name).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)).Get(), 0) << name;
    }
}

}  // namespace
