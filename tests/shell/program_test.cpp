// The built program from end to end: started from a copied folder without a
// display, it bridges its port, and SIGTERM ends it like "Exit".
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "../test_folder.h"

using namespace std::chrono;
namespace fs = std::filesystem;

namespace {

uint16_t FreeLoopbackPort()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

int ConnectWithin(uint16_t port, int ms)
{
    auto end = steady_clock::now() + milliseconds(ms);
    while (steady_clock::now() < end) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
            return s;
        close(s);
        std::this_thread::sleep_for(milliseconds(100));
    }
    return -1;
}

std::string ReadExactly(int fd, size_t n, int ms)
{
    std::string out;
    auto end = steady_clock::now() + milliseconds(ms);
    while (out.size() < n && steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char buf[4096];
        ssize_t r = read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (r <= 0)
            break;
        out.append(buf, static_cast<size_t>(r));
    }
    return out;
}

bool WaitExit(pid_t pid, int ms, int* status)
{
    auto end = steady_clock::now() + milliseconds(ms);
    while (steady_clock::now() < end) {
        if (waitpid(pid, status, WNOHANG) == pid)
            return true;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
}

TEST(Program, BridgesItsPortAndEndsOnSigtermWritingItsOptions)
{
    uitest::TempFolder folder;
    const std::string exe = folder.File("velkaro_redi");
    fs::copy_file(VR_EXECUTABLE, exe);
    const uint16_t port = FreeLoopbackPort();
    folder.Write("pairs.dat", "5\tPortName=COM5,OverrunCheck=yes,BaudPacing=yes\n");
    folder.Write("options.dat",
                 uitest::OptionsDocument(
                     true, {uitest::PortElement("COM5", "tcpserver", "0.0.0.0", 0, "127.0.0.1", port)}));

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Started from elsewhere: the program finds its folder by itself.
        if (chdir("/") != 0)
            _exit(126);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        execl(exe.c_str(), exe.c_str(), "-platform", "offscreen", static_cast<char*>(nullptr));
        _exit(127);
    }

    int peer = ConnectWithin(port, 10000);
    ASSERT_GE(peer, 0) << "the tcpserver bridge never listened";
    int user = open(folder.File("dev/COM5").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(user, 0) << strerror(errno);
    termios t{};
    ASSERT_EQ(tcgetattr(user, &t), 0);  // a real terminal for any serial program

    const std::string toPeer = "serial says \r\n\x00\x7E\xFF hello";
    const std::string toUser = "network says \x11\x13\r\n";
    ASSERT_EQ(write(user, toPeer.data(), toPeer.size()), static_cast<ssize_t>(toPeer.size()));
    EXPECT_EQ(ReadExactly(peer, toPeer.size(), 5000), toPeer);
    ASSERT_EQ(write(peer, toUser.data(), toUser.size()), static_cast<ssize_t>(toUser.size()));
    EXPECT_EQ(ReadExactly(user, toUser.size(), 5000), toUser);

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    int status = 0;
    ASSERT_TRUE(WaitExit(pid, 10000, &status)) << "the program did not end on SIGTERM";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(user);
    close(peer);

    const std::string saved = folder.Read("options.dat");
    EXPECT_NE(saved.find("<COM5>\r\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("<LOCPORT>" + std::to_string(port) + "</LOCPORT>\r\n"), std::string::npos);
    EXPECT_NE(saved.find("<MODE>tcpserver</MODE>\r\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(folder.File("dev/COM5")));  // no link outlives its pair
    EXPECT_EQ(folder.Read("pairs.dat"), "5\tPortName=COM5,OverrunCheck=yes,BaudPacing=yes\n");
}

}  // namespace
