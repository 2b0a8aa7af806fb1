// RFC 2217 ports against real device servers: ser2net's telnet(rfc2217)
// accepter and pyserial's port manager, each in front of one end of a
// pseudo-terminal pair made by socat, whose other end plays the device.
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>

#include "engine_fixtures.h"
#include "engine/line_settings.h"

extern char** environ;

namespace enginetest {
namespace {

// A program of the test's own, ended (SIGTERM, then waited for) with the test.
class Child {
public:
    explicit Child(std::vector<std::string> args, const std::string& out = "/dev/null")
    {
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&files, 1, 2);
        if (posix_spawnp(&pid_, argv[0], &files, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&files);
    }
    ~Child()
    {
        if (pid_ > 0)
            kill(pid_, SIGTERM), waitpid(pid_, nullptr, 0);
    }
    bool Running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

private:
    pid_t pid_ = -1;
};

template <typename F>
bool Within(int ms, F done)
{
    for (auto start = Clock::now(); ElapsedMs(start) < ms; SleepMs(20))
        if (done())
            return true;
    return done();
}

std::string FileText(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

speed_t DeviceSpeed(const std::string& path)
{
    termios t{};
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    bool ok = fd >= 0 && tcgetattr(fd, &t) == 0;
    return close(fd), ok ? cfgetospeed(&t) : B0;
}

enum class Server { kSer2net, kPyserial };

class Rfc2217Servers : public EngineTest, public ::testing::WithParamInterface<Server> {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        char dir[] = "/tmp/vr-rfc2217-XXXXXX";
        ASSERT_TRUE(mkdtemp(dir));
        dir_ = dir;
        socat_ = std::make_unique<Child>(std::vector<std::string>{
            "socat", "pty,raw,echo=0,link=" + dir_ + "/dev", "pty,raw,echo=0,link=" + dir_ + "/far"});
        ASSERT_TRUE(Within(10000, [&] { return access((dir_ + "/far").c_str(), F_OK) == 0; }));
        port_ = FreePort();
        if (GetParam() == Server::kSer2net) {
            std::ofstream(dir_ + "/ser2net.yaml")
                << "connection: &com\n  accepter: telnet(rfc2217),tcp,127.0.0.1," << port_
                << "\n  connector: serialdev," << dir_ << "/dev,9600n81,local\n";
            server_ = std::make_unique<Child>(
                std::vector<std::string>{"ser2net", "-n", "-d", "-c", dir_ + "/ser2net.yaml"}, dir_ + "/server.out");
        } else {
            server_ = std::make_unique<Child>(
                std::vector<std::string>{"/usr/bin/python3", VR_TEST_SOURCE_DIR "/engine/rfc2217_server.py",
                                         std::to_string(port_), dir_ + "/dev"},
                dir_ + "/server.out");
        }
        ASSERT_TRUE(Within(10000, [&] { return FileText(dir_ + "/server.out").find("ready") != std::string::npos ||
                                               (GetParam() == Server::kSer2net && Listening()); }));
    }
    void TearDown() override
    {
        EngineTest::TearDown();
        server_.reset(), socat_.reset();
        for (const char* f : {"/ser2net.yaml", "/server.out"})
            unlink((dir_ + f).c_str());
        rmdir(dir_.c_str());
    }
    bool Listening()
    {
        std::string out = "ss -Hltn 'sport = :" + std::to_string(port_) + "' | grep -q LISTEN";
        return system(out.c_str()) == 0;
    }
    LineSettings Confirmed(PortRecord* r)
    {
        LineSettings seen{0, 0, '?'};
        UnpackLineSettings(r->lineConfirmed.load(), &seen);
        return seen;
    }

    std::string dir_;
    uint16_t port_ = 0;
    std::unique_ptr<Child> socat_, server_;
};

TEST_P(Rfc2217Servers, LineSettingsArriveAndEveryByteValuePassesBothWays)
{
    PortRecord* r = Record(1, MODE_TCPCLIENT, "127.0.0.1", port_);
    r->rfc2217 = 1;
    ASSERT_TRUE(ParseLineSettings("2400,7,E,1", &r->line, nullptr));
    const int user = Keep(OpenUser(1));
    ASSERT_TRUE(StartBridge(r));
    ASSERT_TRUE(WaitFor(r, STATE_CONNECTED));
    ASSERT_TRUE(Within(5000, [&] { return FormatLineSettings(Confirmed(r)) == "2400,7,E,1"; }))
        << FormatLineSettings(Confirmed(r)) << "\n" << Out() << Err() << FileText(dir_ + "/server.out");
    EXPECT_EQ(DeviceSpeed(dir_ + "/dev"), B2400);
    if (GetParam() == Server::kPyserial) {
        EXPECT_NE(FileText(dir_ + "/server.out").find("line 2400,7,E,1"), std::string::npos);
    }

    std::string all;
    for (int i = 0; i < 64 * 256; ++i)
        all += static_cast<char>(i);
    const int far = Keep(open((dir_ + "/far").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    ASSERT_TRUE(WriteAll(user, all));
    EXPECT_TRUE(ReadSome(far, all.size()) == all);
    ASSERT_TRUE(WriteAll(far, all));
    EXPECT_TRUE(ReadSome(user, all.size()) == all);

    // The program's own baud, even through a fresh termios that drops EXTPROC.
    for (speed_t speed : {B38400, B115200}) {
        termios t{};
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        cfsetspeed(&t, speed);
        ASSERT_EQ(tcsetattr(user, TCSANOW, &t), 0);
        EXPECT_TRUE(Within(2000, [&] { return DeviceSpeed(dir_ + "/dev") == speed; })) << speed;
    }
    EXPECT_TRUE(Within(2000, [&] { return FormatLineSettings(Confirmed(r)) == "115200,7,E,1"; }));
}

INSTANTIATE_TEST_SUITE_P(Real, Rfc2217Servers, ::testing::Values(Server::kSer2net, Server::kPyserial));

}  // namespace
}  // namespace enginetest
