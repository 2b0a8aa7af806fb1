#include <gtest/gtest.h>

#include "config/export_import.h"
#include "engine/port_table.h"

namespace {

std::string Port(const std::string& name, const std::string& keys)
{
    return "<" + name + ">" + keys + "</" + name + ">";
}

// A list with a good COM1 before the port under test.
std::string List(const std::string& ports) { return "<OPTIONS>" + Port("COM1", "") + ports + "</OPTIONS>"; }

}  // namespace

TEST(Import, EachBadListIsRefusedWholeNamingTheFirstBadPortAndValue)
{
    InitPortTable(nullptr);
    std::string many;
    for (int n = 2; n <= 10000; ++n)
        many += "<COM" + std::to_string(n) + "/>";
    const std::pair<std::string, std::string> kBad[] = {
        {List(Port("COM9", "<LOCPORT>-1</LOCPORT>")), "COM9: LOCPORT -1 is not a port number (0 to 65535)"},
        {List(Port("COM9", "<LOCADDR>10.1</LOCADDR>")), "COM9: LOCADDR 10.1 is not a dotted IPv4 address"},
        {List(Port("COM9", "<DSTADDR>a\nb" + std::string(50, 'c') + "</DSTADDR>")),  // never a forged line
         "COM9: DSTADDR a?b" + std::string(37, 'c') + "... (53 bytes) is neither a dotted IPv4 address nor a host name"},
        {List(Port("COM9", "<DEVNAME>" + std::string(100, 'd') + "</DEVNAME>")),
         "COM9: DEVNAME of 100 bytes is not 1 to 31 bytes long"},
        {List(Port("COM9", "<USECUSTOM>TRUE</USECUSTOM>")), "COM9: DEVNAME (empty) is not 1 to 31 bytes long"},
        {List(Port("COM9", "<MODE>TCP</MODE>")), "COM9: MODE TCP is not tcpclient, tcpserver or udp"},
        {List(Port("COM9", "<KEEPALIVE>0x10</KEEPALIVE>")), "COM9: KEEPALIVE 0x10 is not whole seconds"},
        {List(Port("COM9", "<IDLETIME>4294967296</IDLETIME>")), "COM9: IDLETIME 4294967296 is not whole seconds"},
        {List(Port("COM9", "<DEADPEER>4</DEADPEER>")), "COM9: DEADPEER 4 is not 0 (off) or 5 to 3600"},
        {List(many), "the list holds 10000 ports, more than the 256 free slots"},
        {List("<COM257/>"), "COM257 is not a port name (COM1 to COM256)"},
        {List("<COM05/>"), "COM05 is not a port name (COM1 to COM256)"},
        {List("<COM1/>"), "COM1 is listed twice"},
        {"<OPTIONS><SYSTEM/><com5/></OPTIONS>", "the list holds no ports COM1 to COM256"},
        {"<OPTIONS><COM1>", "the file is no port list (No element tag found)"},
    };
    for (const auto& [text, message] : kBad) {
        std::string error;
        EXPECT_TRUE(ImportedPortSettings(text, DefaultPortSettings(), &error).empty()) << message;
        EXPECT_EQ(error, message);
    }
}

TEST(Import, AGoodListComesInNumberOrderWithDefaultsForMissingKeys)
{
    InitPortTable(nullptr);
    PortSettings base = DefaultPortSettings();
    base.detectDtr = 1;
    const std::vector<PortSettings> ports = ImportedPortSettings(
        "<OPTIONS><COM9><KEEPALIVE>-1</KEEPALIVE><CHKDTR>FALSE</CHKDTR></COM9><SYSTEM/>"
        "<COM2><MODE>udp</MODE><DSTADDR>meter.local</DSTADDR><DEADPEER>0</DEADPEER></COM2></OPTIONS>", base);
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(std::tuple(ports[0].comNumber, ports[0].mode, ports[0].remoteHost, ports[0].deadPeer),
              std::tuple(2, int{MODE_UDP}, std::string("meter.local"), 0u));
    const PortSettings& p = ports[1];
    EXPECT_EQ(std::tuple(p.comNumber, p.mode, p.localHost, p.localPort, p.remoteHost, p.remotePort),
              std::tuple(9, int{MODE_TCPSERVER}, std::string("0.0.0.0"), std::string("0"), std::string("0.0.0.0"),
                         std::string("0")));
    EXPECT_EQ(std::tuple(p.keepAlive, p.idleTime, p.deadPeer, p.detectDtr), std::tuple(4294967295u, 0u, 60u, 1));

    PortRecord r;
    PortSettings s = p;
    s.deviceName = std::string(30, 'x') + "\xC3\xA9";  // é would straddle byte 31: cut before it
    StoreSettings(&r, s);
    EXPECT_EQ(std::string(r.devName), std::string(30, 'x'));
}

TEST(PortCheck, TheDialogAndCommandLineNamesAndTheDeadPeerRange)
{
    PortSettings s = DefaultPortSettings();
    s.comNumber = 256;
    std::string error;
    s.rfc2217 = 1;
    EXPECT_TRUE(CheckPortSettings(s, &error));
    const std::pair<void (*)(PortSettings&), const char*> kBad[] = {
        {[](PortSettings& t) { t.comNumber = 257; }, "COM number 257 is not 1 to 256"},
        {[](PortSettings& t) { t.mode = 3; }, "mode 3 is not tcpclient, tcpserver or udp"},
        {[](PortSettings& t) { t.localHost = ""; }, "local host (empty) is not a dotted IPv4 address"},
        {[](PortSettings& t) { t.remotePort = " 80"; }, "remote port  80 is not a port number (0 to 65535)"},
        {[](PortSettings& t) { t.deadPeer = 3601; }, "dead-peer seconds 3601 is not 0 (off) or 5 to 3600"},
        {[](PortSettings& t) { t.line = "9600,8,X,1"; }, "line 9600,8,X,1 is wrong: parity must be N, E, O, M or S"},
        {[](PortSettings& t) { t.rfc2217 = t.useCustom = 1, t.deviceName = "d"; },
         "RFC 2217 is for tcpclient ports without the framed protocol"},
        {[](PortSettings& t) { t.rfc2217 = 1, t.mode = MODE_UDP; },
         "RFC 2217 is for tcpclient ports without the framed protocol"},
    };
    for (const auto& [change, message] : kBad) {
        PortSettings t = s;
        change(t);
        EXPECT_FALSE(CheckPortSettings(t, &error));
        EXPECT_EQ(error, message);
    }
    uint32_t seconds = 1;
    for (const char* good : {"0", "5", "3600"})
        EXPECT_TRUE(ParseDeadPeerSeconds(good, &seconds, &error) && std::to_string(seconds) == good);
    for (const char* bad : {"4", "3601", "", "x", "-1", "99999999999"})
        EXPECT_FALSE(ParseDeadPeerSeconds(bad, &seconds, &error)) << bad;
    EXPECT_EQ(error, "dead-peer seconds \"99999999999\" is not 0 (off) or 5 to 3600");
}
