// RFC 2217 ports against real device servers: ser2net's telnet(rfc2217)
// accepter and pyserial's port manager, each in front of one end of a
// pseudo-terminal pair made by socat, whose other end plays the device; and
// ser2net's plain telnet accepter, which refuses the COM-PORT-OPTION.
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>

#include "engine_fixtures.h"
#include "engine/line_settings.h"
#include "engine/unique_fd.h"

namespace enginetest {
namespace {

// A shell command of the test's own, its output into a file; ended with the test.
class Child {
public:
    Child(const std::string& command, const std::string& out)
    {
        const std::string line = "exec " + command + " >" + out + " 2>&1";
        const char* argv[] = {"/bin/sh", "-c", line.c_str(), nullptr};
        if (posix_spawn(&pid_, argv[0], nullptr, nullptr, const_cast<char**>(argv), nullptr) != 0)
            pid_ = -1;
    }
    ~Child() { pid_ > 0 && kill(pid_, SIGTERM) == 0 && waitpid(pid_, nullptr, 0); }

private:
    pid_t pid_ = -1;
};

speed_t DeviceSpeed(const std::string& path)
{
    termios t{};
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    bool ok = fd >= 0 && tcgetattr(fd, &t) == 0;
    return close(fd), ok ? cfgetospeed(&t) : B0;
}

enum Server { kPyserial, kSer2net, kSer2netRefusing };

class Rfc2217Servers : public EngineTest, public ::testing::WithParamInterface<Server> {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        char dir[] = "/tmp/vr-rfc2217-XXXXXX";
        ASSERT_TRUE(mkdtemp(dir));
        dir_ = dir;
        socat_ = std::make_unique<Child>("socat pty,raw,echo=0,link=" + dir_ + "/dev pty,raw,echo=0,link=" +
                                         dir_ + "/far", dir_ + "/socat.out");
        ASSERT_TRUE(Within(10000, [&] { return access((dir_ + "/far").c_str(), F_OK) == 0; }));
        const bool ser2net = GetParam() != kPyserial;
        std::ofstream(dir_ + "/ser2net.yaml") << "connection: &com\n  accepter: telnet"
                                              << (GetParam() == kSer2net ? "(rfc2217)" : "") << ",tcp,127.0.0.1,"
                                              << port_ << "\n  connector: serialdev," << dir_ << "/dev,9600n81,local\n";
        server_ = std::make_unique<Child>(
            ser2net ? "ser2net -n -d -c " + dir_ + "/ser2net.yaml"
                    : "/usr/bin/python3 " VR_TEST_SOURCE_DIR "/engine/rfc2217_server.py " + std::to_string(port_) + " " + dir_ + "/dev",
            dir_ + "/server.out");
        ASSERT_TRUE(Within(10000, [&] {
            int probe = ser2net ? ConnectTo(port_) : -1;
            return close(probe), probe >= 0 || FileText(dir_ + "/server.out").find("ready") != std::string::npos;
        }));
    }
    void TearDown() override
    {
        EngineTest::TearDown();
        server_.reset(), socat_.reset();
        std::filesystem::remove_all(dir_);
    }
    std::string Confirmed(PortRecord* r)
    {
        LineSettings seen{0};
        return UnpackLineSettings(r->lineConfirmed.load(), &seen) ? FormatLineSettings(seen) : "none";
    }

    // Pair 1's user side sees the program's line itself too, as a CUSE device does.
    bool UserSideLines(const char*, UserSideLineState* s) override { return (*s = {true, true, lineEvent_.Get()}).held; }
    void TakeUserSideLine(const char*, LineListener& to, bool fresh) override
    {
        if (LineSettings l; !fresh && UnpackLineSettings(deviceLine_.load(), &l))
            to.SetLine(l);
    }
    void SetUserSideModem(const char*, uint8_t lines) override { modem_ = lines; }

    UniqueFd lineEvent_{eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
    std::atomic<uint64_t> deviceLine_{0};
    std::atomic<int> modem_{-1};
    std::string dir_;
    uint16_t port_ = FreePort();
    std::unique_ptr<Child> socat_, server_;
};

TEST_P(Rfc2217Servers, LineSettingsArriveAndEveryByteValuePassesBothWays)
{
    PortRecord* r = Record(1, MODE_TCPCLIENT, "127.0.0.1", port_);
    r->rfc2217 = 1;
    ASSERT_TRUE(ParseLineSettings("2400,7,E,1", &r->line, nullptr));
    const int user = Keep(OpenUser(1));
    ASSERT_TRUE(StartBridge(r));
    const bool refusing = GetParam() == kSer2netRefusing;
    ASSERT_TRUE(Within(5000, [&] { return refusing ? Err().find("refused") != std::string::npos
                                                   : Confirmed(r) == "2400,7,E,1"; }))
        << Confirmed(r) << "\n" << Out() << Err() << FileText(dir_ + "/server.out");
    EXPECT_EQ(DeviceSpeed(dir_ + "/dev"), refusing ? B9600 : B2400);

    std::string all;
    for (int i = 0; i < 64 * 256; ++i)
        all += static_cast<char>(i);
    const int far = Keep(open((dir_ + "/far").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    ASSERT_TRUE(WriteAll(user, all));
    EXPECT_TRUE(ReadSome(far, all.size()) == all);
    ASSERT_TRUE(WriteAll(far, all));
    EXPECT_TRUE(ReadSome(user, all.size()) == all);
    if (refusing) {
        EXPECT_EQ(Err(), "COM1: the server refused COM-PORT-OPTION; bytes only\n");
        return;
    }

    // The program's own baud, even through a fresh termios that drops EXTPROC.
    for (speed_t speed : {B38400, B115200}) {
        termios t{};
        cfmakeraw(&t);
        cfsetspeed(&t, speed);
        ASSERT_EQ(tcsetattr(user, TCSANOW, &t), 0);
        EXPECT_TRUE(Within(2000, [&] { return DeviceSpeed(dir_ + "/dev") == speed; })) << speed;
    }
    EXPECT_TRUE(Within(2000, [&] { return Confirmed(r) == "115200,7,E,1"; })) << Confirmed(r);
    if (GetParam() != kPyserial)
        return;
    // A line told through the line event descriptor; DTR off: the server's CTS, DSR and DCD follow it.
    deviceLine_ = PackLineSettings({4800, 8, 'N', StopBits::kTwo, FlowControl::kNone, false});
    ASSERT_EQ(write(lineEvent_.Get(), "\1\0\0\0\0\0\0\0", 8), 8);
    EXPECT_TRUE(Within(10000, [&] { return DeviceSpeed(dir_ + "/dev") == B4800 && modem_ == 0; })) << modem_;
}

INSTANTIATE_TEST_SUITE_P(Ser2netAndPyserial, Rfc2217Servers, ::testing::Values(kPyserial, kSer2net, kSer2netRefusing));

}  // namespace
}  // namespace enginetest
