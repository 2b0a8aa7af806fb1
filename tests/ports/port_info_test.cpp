#include <gtest/gtest.h>

#include "../net_helpers.h"
#include "engine/port_table.h"
#include "ports/port_info.h"

TEST(PortInformation, PeerAndBytesWhenConnectedTheFailureOtherwise)
{
    EXPECT_EQ(ByteCountText(1023), "1023 B");
    EXPECT_EQ(ByteCountText(4299161), "4.1 MB");

    const int listener = testnet::Bound(SOCK_STREAM), sock = testnet::ConnectTo(testnet::LocalPort(listener));
    ASSERT_GE(sock, 0);

    PortRecord r;
    r.sock = sock, r.state = STATE_CONNECTED;
    r.bytesIn = 12595, r.bytesOut = 4199;
    EXPECT_EQ(PortInformationText(r), "127.0.0.1:" + std::to_string(testnet::LocalPort(listener)) +
                                          " \u00B7 in 12.3 KB \u00B7 out 4.1 KB");
    LineSettings line;
    ParseLineSettings("2400,7,E,1", &line, nullptr);
    r.lineConfirmed = PackLineSettings(line);  // what a device server confirmed
    EXPECT_NE(PortInformationText(r).find(" \u00B7 line 2400,7,E,1"), std::string::npos);
    r.sock = -1, r.state = STATE_CHECKING;
    NoteFailure(&r, ECONNREFUSED, "connect 10.0.0.7:4001: Connection refused");
    EXPECT_EQ(PortInformationText(r), "connect 10.0.0.7:4001: Connection refused");
    r.waitingToBind = true;
    NoteFailure(&r, EADDRNOTAVAIL, "bind 10.9.9.9:4003: Cannot assign requested address");
    EXPECT_EQ(PortInformationText(r), "waiting to bind: bind 10.9.9.9:4003: Cannot assign requested address");
    r.state = STATE_STOPPED;
    EXPECT_EQ(PortInformationText(r), "");
    close(sock), close(listener);
}
