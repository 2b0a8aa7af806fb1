// Line settings in their three forms, and the Telnet framing on its own:
// escaping over every byte value and cut, negotiation and refusals; and the
// watch on a pseudo-terminal that tells the framing of the program's changes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/diagnostics.h"
#include "engine/line_watch.h"
#include "engine/rfc2217.h"

namespace {

using Bytes = std::vector<unsigned char>;
constexpr unsigned char IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253, DONT = 254;

Bytes Take(ByteQueue& q)
{
    Bytes out(q.Count());
    return out.resize(q.Read(out.data(), static_cast<uint32_t>(out.size()))), out;
}
void Feed(Rfc2217& p, const Bytes& b) { p.FromNet(b.data(), static_cast<int>(b.size())); }
Bytes operator+(Bytes a, const Bytes& b) { return a.insert(a.end(), b.begin(), b.end()), a; }
bool Has(const Bytes& hay, const Bytes& part) { return std::search(hay.begin(), hay.end(), part.begin(), part.end()) != hay.end(); }

std::string g_notes;
void Sink(DiagStream, const std::string& line) { g_notes += line; }

TEST(LineSettings, TextTermiosAndPackedForms)
{
    LineSettings line;
    std::string error;
    ASSERT_TRUE(ParseLineSettings("250000,5,m,1.5", &line, &error));  // any integer rate is kept
    EXPECT_EQ(FormatLineSettings(line), "250000,5,M,1.5");
    for (auto [text, why] : {std::pair{"9600,8,X,1", "parity must be N, E, O, M or S"}, {"9600,9,N,1", "data bits"},
                             {"9600,8,N,3", "stop bits"}, {"0,8,N,1", "baud"}, {"9600,8,N", "BAUD,BITS"}}) {
        EXPECT_FALSE(ParseLineSettings(text, &line, &error));
        EXPECT_NE(error.find(why), std::string::npos) << text << ": " << error;
    }
    EXPECT_EQ(FormatLineSettings(line), "250000,5,M,1.5");  // a refusal changes nothing
    termios t{};
    EXPECT_FALSE(LineSettingsToTermios(line, &t));
    t.c_cflag = (t.c_cflag & ~CBAUD) | CBAUDEX;  // BOTHER, as a TCSETS2 leaves it
    EXPECT_EQ(LineSettingsFromTermios(t, line), line);
    for (LineSettings l : {LineSettings{115200, 7, 'O', StopBits::kTwo, FlowControl::kRtsCts, false, true},
                           LineSettings{50, 6, 'S', StopBits::kOne, FlowControl::kXonXoff, true, false}}) {
        ASSERT_TRUE(LineSettingsToTermios(l, &t));
        EXPECT_EQ(LineSettingsFromTermios(t, LineSettings{}).baud, l.baud);
        EXPECT_EQ(LineSettingsFromTermios(t, l), l);
        ASSERT_TRUE(UnpackLineSettings(PackLineSettings(l), &line));
        EXPECT_EQ(line, l);
    }
    EXPECT_FALSE(UnpackLineSettings(0, &line));
}

TEST(Rfc2217, EveryByteValuePassesBothWaysWhereverTheStreamIsCut)
{
    Rfc2217 p(LineSettings{}, "COM5", nullptr, 1 << 16, 1 << 16);
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<unsigned char>(i);
    Bytes wire = all;
    wire.push_back(IAC);
    Take(p.toNet);
    p.FromSerial(all.data(), 256);
    EXPECT_EQ(Take(p.toNet), wire);
    // Data around a doubled 0xFF and around notifications, cut anywhere.
    const Bytes notify = {'a', IAC, SB, 44, 107, 0xB0, IAC, SE, 'b', IAC, SB, 44, 106, IAC, IAC, IAC, SE, 'c'};
    for (auto [in, out] : {std::pair{wire, all}, std::pair{notify, Bytes{'a', 'b', 'c'}}}) {
        for (size_t cut = 0; cut <= in.size(); ++cut) {
            Feed(p, Bytes(in.begin(), in.begin() + cut));
            Feed(p, Bytes(in.begin() + cut, in.end()));
            ASSERT_EQ(Take(p.toSerial), out) << "cut at " << cut;
        }
    }
    EXPECT_EQ(p.ModemState(), 0xB0);
}

TEST(Rfc2217, NegotiatesSendsSettingsKeepsConfirmationsRefusesTheRest)
{
    std::atomic<uint64_t> confirmed{0};
    const LineSettings line = {2400, 7, 'E', StopBits::kOne, FlowControl::kNone, true, false};
    Rfc2217 p(line, "COM5", &confirmed, 4096, 4096);
    EXPECT_EQ(Take(p.toNet), (Bytes{IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 44}));
    // Answers only for what changes: no option bounces back and forth.
    Feed(p, {IAC, DO, 0, IAC, WILL, 0, IAC, DO, 3, IAC, WILL, 3, IAC, WILL, 1, IAC, DO, 24, IAC, DONT, 31, IAC, WONT, 5});
    EXPECT_EQ(Take(p.toNet), (Bytes{IAC, DONT, 1, IAC, WONT, 24}));
    for (int i = 0; i < 10000; ++i)
        Feed(p, {IAC, DO, 24});  // never reading the answers
    EXPECT_LE(Take(p.toNet).size(), 4096u + 3);
    Feed(p, {IAC, DO, 0, IAC, WILL, 0, IAC, DO, 44});
    const Bytes settings = Take(p.toNet);
    for (const Bytes& sb : {Bytes{1, 0, 0, 0x09, 0x60}, Bytes{2, 7}, Bytes{3, 3}, Bytes{4, 1}, Bytes{5, 1},
                            Bytes{5, 8}, Bytes{5, 12}})
        EXPECT_TRUE(Has(settings, Bytes{IAC, SB, 44} + sb + Bytes{IAC, SE})) << int(sb[0]) << "," << int(sb[1]);

    LineSettings changed = line;
    changed.baud = 0x1FFFF;  // a rate with a 0xFF byte is escaped
    p.SetLine(changed);
    EXPECT_TRUE(Has(Take(p.toNet), {IAC, SB, 44, 1, 0, 1, IAC, IAC, IAC, IAC, IAC, SE}));
    p.SetLine(changed);
    EXPECT_TRUE(Take(p.toNet).empty());
    EXPECT_EQ(confirmed.load(), 0u);
    Feed(p, {IAC, SB, 44, 101, 0, 0, 0x4B, 0, IAC, SE, IAC, SB, 44, 103, 2, IAC, SE, IAC, SB, 44, 102, 7, IAC, SE});
    ASSERT_TRUE(UnpackLineSettings(confirmed.load(), &changed));
    EXPECT_EQ(FormatLineSettings(changed), "19200,7,O,1");
    EXPECT_TRUE(Take(p.toSerial).empty());

    // A server that refuses the option, at two connections: bytes only, one note.
    SetDiagSink(Sink);
    for (int connection = 0; connection < 2; ++connection) {
        p.Reset();
        Take(p.toNet);
        Feed(p, {IAC, DONT, 44, 'x', IAC, IAC});
        EXPECT_EQ(Take(p.toSerial), (Bytes{'x', IAC}));
        p.SetLine(line);
        p.SetBreak(true);
        p.FromSerial(&IAC, 1);
        EXPECT_EQ(Take(p.toNet), (Bytes{IAC, IAC}));
    }
    SetDiagSink(nullptr);
    EXPECT_EQ(g_notes, "COM5: the server refused COM-PORT-OPTION; bytes only\n");
}

}  // namespace

// The serial side of a pseudo-terminal: the program's changes and flushes
// come as reports, its bytes without the packet byte.
TEST(LineWatch, ReportsTheProgramsChangesAndFlushesAndPassesItsBytes)
{
    struct Seen : LineListener {
        LineSettings line{2400, 7, 'E'};
        int purges = 0;
        const LineSettings& Line() const override { return line; }
        void SetLine(const LineSettings& l) override { line = l; }
        void SetBreak(bool) override {}
        void PurgeData(Purge which) override { purges |= which; }
    } seen;
    int master = -1, user = -1;
    char path[64];
    ASSERT_EQ(openpty(&master, &user, path, nullptr, nullptr), 0);
    fcntl(master, F_SETFL, O_NONBLOCK);
    close(user);  // the port is not held: it takes the port's line
    {
        LineWatch watch(master, seen);
        user = open(path, O_RDWR | O_NOCTTY);
        termios t{};
        ASSERT_EQ(tcgetattr(user, &t), 0);
        EXPECT_EQ(cfgetospeed(&t), B2400);  // the port's line until the program sets its own
        cfmakeraw(&t);
        cfsetspeed(&t, B57600);
        t.c_cflag |= CSTOPB;
        ASSERT_EQ(tcsetattr(user, TCSANOW, &t), 0);
        tcflush(user, TCIOFLUSH);
        ASSERT_EQ(write(user, "ok", 2), 2);
        std::string data;
        for (int i = 0; i < 500 && data != "ok"; ++i) {
            char buf[64];
            const ssize_t n = watch.Read(reinterpret_cast<unsigned char*>(buf), sizeof buf);
            if (n > 0)
                data.append(buf, static_cast<size_t>(n));
            else
                usleep(10000);
        }
        EXPECT_EQ(data, "ok");
        EXPECT_EQ(FormatLineSettings(seen.line), "57600,7,E,2");  // bits and parity stay the port's
        EXPECT_EQ(seen.purges, LineListener::kPurgeBoth);
    }
    close(user), close(master);
    int sockets[2];  // a CUSE port's bridge side: bytes pass untouched
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
    LineWatch watch(sockets[0], seen);
    char buf[4];
    ASSERT_EQ(write(sockets[1], "\x40ok", 3), 3);
    EXPECT_EQ(watch.Read(reinterpret_cast<unsigned char*>(buf), sizeof buf), 3);
    EXPECT_EQ(std::string(buf, 3), "\x40ok");
    close(sockets[0]), close(sockets[1]);
}
