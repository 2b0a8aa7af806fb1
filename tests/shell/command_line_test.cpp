// The command line: handed to a running copy, or changing the folder's files
// when none runs; wrong ones say one line; never a second running program.
#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/un.h>

#include <cstdlib>
#include <thread>

#include <nlohmann/json.hpp>

#include "ports/port_commands.h"
#include "ports/program.h"
#include "program_run.h"
#include "shell/command_line.h"

namespace {

struct Result { int status; std::string out, err; };

// The program's copy in the run's folder, called from another directory.
Result Cli(const uitest::ProgramRun& run, const std::string& args)
{
    const uitest::TempFolder& f = run.Folder();
    // A second program that keeps running shows as status 124.
    std::string cmd = "cd / && timeout 30 " + f.File("velkaro_redi") + " " + args + " >" + f.File("out.txt") +
                      " 2>" + f.File("err.txt");
    int s = std::system(cmd.c_str());
    return {WIFEXITED(s) ? WEXITSTATUS(s) : -1, f.Read("out.txt"), f.Read("err.txt")};
}

// The exit status, and words of what it said on standard error.
::testing::AssertionResult Says(const Result& r, int status, const std::string& words)
{
    const bool ok = r.status == status && r.err.find(words) != std::string::npos;
    return (ok ? ::testing::AssertionSuccess() : ::testing::AssertionFailure()) << "status " << r.status << ": " << r.err;
}

bool HasLine(const std::string& text, const std::vector<std::string>& words)
{
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (std::all_of(words.begin(), words.end(), [&](const std::string& w) { return line.find(w) != line.npos; }))
            return true;
    return false;
}

// The program started as a user would: from "/", without a display, ended
// with SIGTERM like "Exit"; scripts follow a port through its trace, a
// monitor and --list --json.
TEST(CommandLine, ARunningProgramBridgesAddsListsTracesDeletesAndSavesAtItsEnd)
{
    uitest::ProgramRun run;
    const uitest::TempFolder& folder = run.Folder();
    // COM5 found in the folder, a tcpclient of a listener here; startup on.
    int listener = testnet::Bound(SOCK_STREAM);
    const std::string port5 = std::to_string(testnet::LocalPort(listener));
    const std::string pair5 = "5\tPortName=COM5,OverrunCheck=yes,BaudPacing=yes\n";
    folder.Write("pairs.dat", pair5);
    folder.Write("options.dat", uitest::OptionsDocument(
        true, {uitest::PortElement("COM5", "tcpclient", "127.0.0.1", std::stoi(port5), "0.0.0.0", 0)}));
    ASSERT_TRUE((run.Start(), run.WaitUp({"COM5"}))) << run.Stderr();
    int peer = testnet::AcceptWithin(listener, 10000);
    ASSERT_GE(peer, 0) << "the bridge never connected; " << run.Stderr();
    int user = open(folder.File("dev/COM5").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    // The serial side speaks first: bytes for a port nobody holds are dropped.
    const std::string toPeer = std::string("serial \r\n\0\x7E\xFF", 12), toUser = "network \x11\x13\r\n";
    ASSERT_TRUE(user >= 0 && testnet::WriteAll(user, toPeer) && testnet::WriteAll(peer, toUser));
    EXPECT_EQ(testnet::ReadSome(peer, toPeer.size()), toPeer);
    EXPECT_EQ(testnet::ReadSome(user, toUser.size()), toUser);
    close(user), close(peer), close(listener);
    const std::string port = std::to_string(testnet::FreePort());

    ASSERT_TRUE(Says(Cli(run, "--add COM7 --mode tcpserver --local 127.0.0.1:" + port), 0, ""));
    EXPECT_TRUE(uitest::IsLink(folder.File("dev/COM7")));
    ASSERT_EQ(Cli(run, "--add COM8 --remote 127.0.0.1:" + std::to_string(testnet::FreePort())).status, 0);
    ASSERT_EQ(Cli(run, "--trace COM7 " + folder.File("trace.log")).status, 0);
    std::system(("cd / && timeout 60 " + folder.File("velkaro_redi") + " --monitor COM7 >" +
                 folder.File("monitor.txt") + " &").c_str());
    user = open(folder.File("dev/COM7").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(user, 0);
    ASSERT_TRUE(testnet::Within(20000, [&] { return !folder.Read("monitor.txt").empty(); }));
    peer = -1;
    for (int connection = 0; connection < 2; ++connection) {
        close(peer);
        ASSERT_GE(peer = uitest::ConnectWithin(static_cast<uint16_t>(std::stoi(port)), 10000), 0);
        ASSERT_EQ(write(peer, "to user!", 8), 8);
        EXPECT_EQ(testnet::ReadSome(user, 8, 5000), "to user!");
        ASSERT_EQ(write(user, "to peer", 7), 7);
        EXPECT_EQ(testnet::ReadSome(peer, 7, 5000), "to peer");
    }
    EXPECT_TRUE(HasLine(Cli(run, "--list").out, {"COM7", "tcpserver", "0.0.0.0:0", "127.0.0.1:" + port, folder.File("dev/COM7")}));
    nlohmann::json ports;
    ASSERT_TRUE(testnet::Within(20000, [&] {
        ports = nlohmann::json::parse(Cli(run, "--list --json").out);
        return ports[1]["last_error"].is_string();
    }));
    nlohmann::json want = ports[0];
    want.merge_patch({{"name", "COM7"}, {"connects", 2}, {"bytes_to_serial", 8}, {"bytes_from_serial", 7}, {"state", "Connected"},
                      {"rfc2217", false}, {"line", "9600,8,N,1"}});
    EXPECT_TRUE(ports[0]["line_confirmed"].is_null());
    EXPECT_EQ(ports[0], want);
    EXPECT_NE(ports[1]["last_error"].get<std::string>().find("Connection refused"), std::string::npos);

    ASSERT_EQ(Cli(run, "--trace COM7 off").status, 0);
    ASSERT_EQ(write(peer, "after", 5), 5);
    EXPECT_EQ(testnet::ReadSome(user, 5, 5000), "after");
    ASSERT_TRUE(testnet::Within(20000, [&] { return folder.Read("monitor.txt").find("|after|") != std::string::npos; }));
    const std::string trace = folder.Read("trace.log"), monitor = folder.Read("monitor.txt");
    EXPECT_EQ(monitor.find(trace), monitor.find('\n') + 1) << monitor;  // after its "monitor on"
    EXPECT_TRUE(HasLine(trace, {" COM7 net>serial 8 74 6f 20 75 73 65 72 21 |to user!|"})) << trace;
    EXPECT_TRUE(HasLine(trace, {" COM7 event disconnect: "})) << trace;  // closed, or a newer client came first
    close(user), close(peer);
    // An address the machine lacks: the port stays started and Waiting, and says why.
    const std::string why = "bind 10.9.9.9:4003: Cannot assign requested address";
    ASSERT_EQ(Cli(run, "--add COM9 --mode tcpserver --local 10.9.9.9:4003").status, 0);
    ASSERT_EQ(Cli(run, "--stop COM9").status, 0);
    EXPECT_TRUE(Says(Cli(run, "--start COM9"), 1, "COM9 is started and waits to bind: " + why));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // a retry or more
    EXPECT_TRUE(HasLine(Cli(run, "--list").out, {"COM9", "Waiting", why}));

    Result del = Cli(run, "--delete COM7");
    EXPECT_EQ(del.status + Cli(run, "--delete COM8").status + Cli(run, "--delete COM9").status, 0) << del.err;
    EXPECT_FALSE(uitest::IsLink(folder.File("dev/COM7")));
    EXPECT_FALSE(HasLine(Cli(run, "--list").out, {"COM7"}));
    EXPECT_EQ(run.Stop(), 0) << run.Stderr();
    EXPECT_NE(run.Stderr().find("No display"), std::string::npos) << run.Stderr();  // said, not aborted
    const std::string options = folder.Read("options.dat");
    EXPECT_NE(options.find("<COM5>\r\n<DSTADDR>127.0.0.1</DSTADDR>\r\n<DSTPORT>" + port5), std::string::npos);
    EXPECT_EQ(options.find("COM7"), std::string::npos);
    EXPECT_FALSE(uitest::IsLink(folder.File("dev/COM5")));  // no link outlives its pair
    EXPECT_EQ(folder.Read("pairs.dat"), pair5);
}

TEST(CommandLine, WithoutAProgramTheFilesChangeForItsNextStart)
{
    uitest::ProgramRun run;
    const uitest::TempFolder& folder = run.Folder();
    // An import with one bad port adds none and names it.
    using uitest::PortElement;
    folder.Write("list.xml", uitest::OptionsDocument(false, {PortElement("COM3", "udp", "10.0.0.1", 4000, "0.0.0.0", 0),
                                                             PortElement("COM9", "udp", "10.0.0.1", 70000, "0.0.0.0", 0)}));
    EXPECT_TRUE(Says(Cli(run, "--import " + folder.File("list.xml")), 1, "COM9: DSTPORT 70000 is not a port number"));
    EXPECT_FALSE(std::filesystem::exists(folder.File("pairs.dat")));
    ASSERT_TRUE(Says(Cli(run, "--add COM7 --mode udp --remote 10.0.0.9:5000 --local 0.0.0.0:5000 "
                              "--custom meter --keepalive 7 --idle 9 --detect-dtr --dead-peer 0"), 0, ""));
    EXPECT_TRUE(HasLine(Cli(run, "--list").out, {"COM7", "udp", "10.0.0.9:5000", "Stopped"}));
    for (const char* key : {"<MODE>udp<", "<DEVNAME>meter<", "<KEEPALIVE>7<", "<IDLETIME>9<",
                            "<USECUSTOM>TRUE<", "<CHKDTR>TRUE<", "<DEADPEER>0<"})
        EXPECT_NE(folder.Read("options.dat").find(key), std::string::npos) << key;
    // Both switches can be turned off again; the device name stays for later.
    ASSERT_EQ(Cli(run, "--set COM7 --no-custom --no-detect-dtr --mode tcpclient --rfc2217 --line 2400,7,e,1.5").status, 0);
    for (const char* key : {"<DEVNAME>meter<", "<USECUSTOM>FALSE<", "<CHKDTR>FALSE<", "<RFC2217>TRUE<",
                            "<LINE>2400,7,E,1.5<"})
        EXPECT_NE(folder.Read("options.dat").find(key), std::string::npos) << key;
    EXPECT_FALSE(std::filesystem::exists(folder.File("dev/COM7")));  // no owner left behind

    // The program finds the port as the window would have left it.
    ASSERT_TRUE((run.Start(), run.WaitUp({"COM7"})));
    EXPECT_EQ(run.Stop(), 0);
    EXPECT_EQ(Cli(run, "--delete COM7").status, 0);
    EXPECT_EQ(folder.Read("pairs.dat"), "");
    EXPECT_EQ(Cli(run, "--list").out.find("COM7"), std::string::npos);
}

// The table of wrong command lines, in this process on a folder of its own.
TEST(CommandLine, WrongCommandsSayOneLineAndChangeNothing)
{
    uitest::TempFolder folder;
    folder.Write("pairs.dat", "5\tPortName=COM5,OverrunCheck=yes,BaudPacing=yes\n");
    folder.Write("options.dat", uitest::OptionsDocument(false, {}));
    const std::string pairs = folder.Read("pairs.dat");
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        {{"--bogus"}, 2, "unknown option: --bogus"},
        {{"--list", "--mode", "udp"}, 2, "unknown option: --mode"},
        {{"--add", "COM7", "--speed", "9"}, 2, "unknown option: --speed"},
        {{"--add", "COM0"}, 2, "bad port number"},
        {{"--add", "COM257"}, 2, "bad port number"},
        {{"--delete"}, 2, "needs a port name"},
        {{"--add", "COM7", "--mode", "serial"}, 2, "--mode"},
        {{"--add", "COM7", "--local", "meter:1"}, 2, "dotted"},
        {{"--add", "COM7", "--remote", "10.0.0.1:65536"}, 2, "--remote"},
        {{"--add", "COM7", "--idle", "-1"}, 2, "--idle"},
        {{"--add", "COM7", "--custom", std::string(32, 'x')}, 2, "31 bytes"},
        {{"--add", "COM7", "--dead-peer", "3"}, 2, "dead-peer seconds \"3\""},
        {{"--add", "COM7", "--line", "9600,8,X,1"}, 2, "--line: parity must be N, E, O, M or S"},
        {{"--add", "COM7", "--mode", "udp", "--rfc2217"}, 1, "RFC 2217 is for tcpclient ports"},
        {{"--set", "COM5", "--rfc2217"}, 1, "RFC 2217 is for tcpclient ports"},  // COM5 reads as tcpserver
        {{"--add", "COM5"}, 1, "COM5 is already in use"},
        {{"--set", "COM9", "--idle", "3"}, 1, "no port COM9"},
        {{"--import", "/nonexistent"}, 1, "--import needs an empty port list"},
        {{"--stop", "COM5"}, 1, "no running instance"},
    };
    for (const auto& [args, status, says] : cases) {
        Program program(folder.Path());
        ASSERT_EQ(program.Open(nullptr, false), Program::Opened::kOwner);
        NoPortList rows;
        CommandPlace place{program, &rows};
        ControlAnswer r = CarryOutArguments(args, place);
        EXPECT_EQ(r.status, status) << args[0];
        EXPECT_NE(r.text.find(says), std::string::npos) << args[0] << ": " << r.text;
        EXPECT_EQ(r.text.find('\n'), std::string::npos) << args[0] << ": " << r.text;
    }
    EXPECT_EQ(folder.Read("pairs.dat"), pairs);
    EXPECT_EQ(folder.Read("options.dat"), uitest::OptionsDocument(false, {}));
}

TEST(CommandLine, AnOwnerThatDoesNotAnswerFailsTheCommandWhichIsNeverSentAgain)
{
    uitest::ProgramRun run;
    const uitest::TempFolder& folder = run.Folder();
    int lock = open(folder.File("pairs.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    EXPECT_TRUE(Says(Cli(run, "--list"), 1, "does not answer within 5 s"));  // no control socket at all
    // One that takes each request ("+") and ends before it answers.
    int server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{AF_UNIX, {}};
    snprintf(a.sun_path, sizeof a.sun_path, "%s", folder.File("control.sock").c_str());
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&a), sizeof a) | listen(server, 8), 0);
    int taken = 0;
    std::thread serve([&] {
        for (int c; (c = accept(server, nullptr, nullptr)) >= 0; close(c)) {
            char buf[256];
            while (read(c, buf, sizeof buf) > 0)
                continue;
            taken += send(c, "+", 1, MSG_NOSIGNAL) == 1;  // a second request must fail the test, not end it
        }
    });
    Result r = Cli(run, "--add COM7");
    shutdown(server, SHUT_RDWR);
    serve.join();
    close(server), close(lock);
    EXPECT_TRUE(Says(r, 1, "outcome is unknown"));
    EXPECT_EQ(taken, 1);
}

TEST(CommandLine, ASecondStartOrAMistypedCommandRunsNoSecondProgram)
{
    uitest::ProgramRun run;
    const uitest::TempFolder& folder = run.Folder();
    ASSERT_TRUE((run.Start(), run.WaitUp({}))) << run.Stderr();
    ASSERT_EQ(Cli(run, "--add COM7").status, 0);
    // Headless: nothing to bring to the front; said, and no second program.
    EXPECT_TRUE(Says(Cli(run, ""), 1, "already running"));
    for (const char* typo : {"-list", "-platform offscreen -list", "list"})
        EXPECT_TRUE(Says(Cli(run, typo), 2, "unknown option")) << typo;
    // Eight clients that never send a word hold neither the program nor the next one.
    std::vector<int> silent;
    for (int i = 0; i < 8; ++i) {
        silent.push_back(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un a{AF_UNIX, {}};
        snprintf(a.sun_path, sizeof a.sun_path, "%s", folder.File("control.sock").c_str());
        EXPECT_EQ(connect(silent.back(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    EXPECT_TRUE(HasLine(Cli(run, "--list").out, {"COM7"}));
    for (int fd : silent)
        close(fd);
    EXPECT_EQ(run.Stop(), 0) << run.Stderr();
    EXPECT_NE(folder.Read("options.dat").find("<COM7>"), std::string::npos);
}

}  // namespace
