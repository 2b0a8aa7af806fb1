// Line settings in their three forms, and the Telnet framing on its own:
// escaping over every byte value and cut, negotiation and refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/diagnostics.h"
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
bool Has(const Bytes& hay, const Bytes& needle)
{
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

std::vector<std::string> g_notes;
void Sink(DiagStream, const std::string& line) { g_notes.push_back(line); }

TEST(LineSettings, TextTermiosAndPackedForms)
{
    LineSettings line;
    std::string error;
    ASSERT_TRUE(ParseLineSettings("2400,7,e,1.5", &line, &error));
    EXPECT_EQ(FormatLineSettings(line), "2400,7,E,1.5");
    ASSERT_TRUE(ParseLineSettings("250000,5,M,2", &line, &error));  // any integer rate is kept
    EXPECT_EQ(FormatLineSettings(line), "250000,5,M,2");
    for (auto [text, why] : {std::pair{"9600,8,X,1", "parity"}, {"9600,9,N,1", "data bits"},
                             {"9600,8,N,3", "stop bits"}, {"0,8,N,1", "baud"}, {"96OO,8,N,1", "baud"},
                             {"9600,8,N", "BAUD,BITS"}, {"9600,8,N,1,", "BAUD,BITS"}, {"9600,8,,1", "parity"}}) {
        EXPECT_FALSE(ParseLineSettings(text, &line, &error)) << text;
        EXPECT_NE(error.find(why), std::string::npos) << text << ": " << error;
    }
    EXPECT_EQ(FormatLineSettings(line), "250000,5,M,2");  // a refusal changes nothing

    termios t{};
    line = {115200, 7, 'O', StopBits::kTwo, FlowControl::kRtsCts, false, true};
    ASSERT_TRUE(LineSettingsToTermios(line, &t));
    EXPECT_EQ(LineSettingsFromTermios(t, LineSettings{}).baud, 115200u);
    EXPECT_EQ(LineSettingsFromTermios(t, line), line);
    line.parity = 'S', line.flow = FlowControl::kXonXoff, line.stop = StopBits::kOneAndHalf;
    ASSERT_TRUE(LineSettingsToTermios(line, &t));
    EXPECT_EQ(LineSettingsFromTermios(t, line), line);
    line.baud = 250000;
    EXPECT_FALSE(LineSettingsToTermios(line, &t));
    t.c_cflag = (t.c_cflag & ~CBAUD) | CBAUDEX;  // BOTHER, as a TCSETS2 leaves it
    EXPECT_EQ(LineSettingsFromTermios(t, line).baud, 250000u);

    LineSettings back;
    EXPECT_FALSE(UnpackLineSettings(0, &back));
    ASSERT_TRUE(UnpackLineSettings(PackLineSettings(line), &back));
    EXPECT_EQ(back, line);
}

TEST(Rfc2217, EveryByteValuePassesBothWaysWhereverTheStreamIsCut)
{
    Rfc2217 p(LineSettings{}, "COM5", nullptr, 1 << 16, 1 << 16);
    Bytes all(256), escaped;
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<unsigned char>(i);
        escaped.push_back(all[i]);
        if (i == 255)
            escaped.push_back(IAC);
    }
    Take(p.toNet);
    p.FromSerial(all.data(), 256);
    EXPECT_EQ(Take(p.toNet), escaped);
    const Bytes wire = escaped;
    for (size_t cut = 0; cut <= wire.size(); ++cut) {
        // Data around and between a doubled 0xFF and a cut command.
        Feed(p, Bytes(wire.begin(), wire.begin() + cut));
        Feed(p, Bytes(wire.begin() + cut, wire.end()));
        ASSERT_EQ(Take(p.toSerial), all) << "cut at " << cut;
    }
    const Bytes notify = {'a', IAC, SB, 44, 107, 0xB0, IAC, SE, 'b', IAC, SB, 44, 106, IAC, IAC, IAC, SE, 'c'};
    for (size_t cut = 0; cut <= notify.size(); ++cut) {
        Feed(p, Bytes(notify.begin(), notify.begin() + cut));
        Feed(p, Bytes(notify.begin() + cut, notify.end()));
        ASSERT_EQ(Take(p.toSerial), (Bytes{'a', 'b', 'c'})) << "cut at " << cut;
    }
    EXPECT_EQ(p.ModemState(), 0xB0);
}

TEST(Rfc2217, NegotiatesSendsSettingsKeepsConfirmationsRefusesTheRest)
{
    std::atomic<uint64_t> confirmed{0};
    const LineSettings line = {2400, 7, 'E', StopBits::kOne, FlowControl::kNone, true, false};
    Rfc2217 p(line, "COM5", &confirmed, 4096, 4096);
    EXPECT_EQ(Take(p.toNet), (Bytes{IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 44}));

    Feed(p, {IAC, DO, 0, IAC, WILL, 0, IAC, DO, 3, IAC, WILL, 3, IAC, WILL, 1, IAC, DO, 24, IAC, DONT, 31, IAC, WONT, 5});
    EXPECT_EQ(Take(p.toNet), (Bytes{IAC, DONT, 1, IAC, WONT, 24}));  // answers only for what changes
    Feed(p, {IAC, DO, 0, IAC, WILL, 0, IAC, DO, 44});
    const Bytes settings = Take(p.toNet);
    for (const Bytes& sb : {Bytes{IAC, SB, 44, 1, 0, 0, 0x09, 0x60, IAC, SE}, Bytes{IAC, SB, 44, 2, 7, IAC, SE},
                            Bytes{IAC, SB, 44, 3, 3, IAC, SE}, Bytes{IAC, SB, 44, 4, 1, IAC, SE},
                            Bytes{IAC, SB, 44, 5, 1, IAC, SE}, Bytes{IAC, SB, 44, 5, 8, IAC, SE},
                            Bytes{IAC, SB, 44, 5, 12, IAC, SE}})
        EXPECT_TRUE(Has(settings, sb)) << int(sb[3]) << "," << int(sb[4]);
    EXPECT_TRUE(p.ComPortOn());

    LineSettings changed = line;
    changed.baud = 0x1FFFF;  // a rate with a 0xFF byte is escaped
    p.SetLine(changed);
    EXPECT_TRUE(Has(Take(p.toNet), {IAC, SB, 44, 1, 0, 1, IAC, IAC, IAC, IAC, IAC, SE}));
    p.SetLine(changed);
    EXPECT_TRUE(Take(p.toNet).empty());

    LineSettings seen;
    EXPECT_FALSE(UnpackLineSettings(confirmed.load(), &seen));
    Feed(p, {IAC, SB, 44, 101, 0, 0, 0x4B, 0, IAC, SE, IAC, SB, 44, 103, 2, IAC, SE, IAC, SB, 44, 102, 7, IAC, SE});
    ASSERT_TRUE(UnpackLineSettings(confirmed.load(), &seen));
    EXPECT_EQ(FormatLineSettings(seen), "19200,7,O,1");
    EXPECT_TRUE(Take(p.toSerial).empty());
}

TEST(Rfc2217, ARefusedComPortOptionCarriesBytesAndIsLoggedOnce)
{
    g_notes.clear();
    SetDiagSink(Sink);
    Rfc2217 p(LineSettings{}, "COM5", nullptr, 4096, 4096);
    for (int connection = 0; connection < 2; ++connection) {
        p.Reset();
        Take(p.toNet);
        Feed(p, {IAC, DONT, 44, 'x', IAC, IAC});
        EXPECT_EQ(Take(p.toSerial), (Bytes{'x', IAC}));
        p.SetLine(LineSettings{19200});
        p.SetBreak(true);
        EXPECT_TRUE(Take(p.toNet).empty());  // refused: nothing but data from now on
        const unsigned char ff = IAC;
        p.FromSerial(&ff, 1);
        EXPECT_EQ(Take(p.toNet), (Bytes{IAC, IAC}));
    }
    SetDiagSink(nullptr);
    ASSERT_EQ(g_notes.size(), 1u);
    EXPECT_EQ(g_notes[0], "COM5: the server refused COM-PORT-OPTION; bytes only\n");
}

}  // namespace
