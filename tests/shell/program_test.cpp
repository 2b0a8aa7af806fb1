// The built program from end to end: started from a copied folder without a
// display, it bridges its port, and SIGTERM ends it like "Exit".
#include <gtest/gtest.h>

#include <termios.h>

#include <cstring>

#include "program_run.h"

using namespace std::chrono;
using namespace std::string_literals;
namespace fs = std::filesystem;

namespace {

TEST(Program, BridgesItsPortAndEndsOnSigtermWritingItsOptions)
{
    uitest::ProgramRun run;
    const uitest::TempFolder& folder = run.Folder();
    const uint16_t port = uitest::FreeLoopbackPort();
    folder.Write("pairs.dat", "5\tPortName=COM5,OverrunCheck=yes,BaudPacing=yes\n");
    folder.Write("options.dat",
                 uitest::OptionsDocument(
                     true, {uitest::PortElement("COM5", "tcpserver", "0.0.0.0", 0, "127.0.0.1", port)}));

    // Started from elsewhere: the program finds its folder by itself.
    run.Start();
    int peer = uitest::ConnectWithin(port, 10000);
    ASSERT_GE(peer, 0) << "the tcpserver bridge never listened";
    int user = open(folder.File("dev/COM5").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(user, 0) << strerror(errno);
    termios t{};
    ASSERT_EQ(tcgetattr(user, &t), 0);  // a real terminal for any serial program

    const std::string toPeer = "serial says \r\n\x00\x7E\xFF hello"s;  // every byte, NUL too
    const std::string toUser = "network says \x11\x13\r\n";
    ASSERT_EQ(write(user, toPeer.data(), toPeer.size()), static_cast<ssize_t>(toPeer.size()));
    EXPECT_EQ(uitest::ReadExactly(peer, toPeer.size(), 5000), toPeer);
    ASSERT_EQ(write(peer, toUser.data(), toUser.size()), static_cast<ssize_t>(toUser.size()));
    EXPECT_EQ(uitest::ReadExactly(user, toUser.size(), 5000), toUser);

    EXPECT_EQ(run.Stop(), 0) << "the program did not end well on SIGTERM: " << run.Stderr();
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
