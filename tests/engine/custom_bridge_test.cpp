// The framed protocol through a running bridge: the peer registers, the
// port shows "Registered", data travels framed both ways, and a frame for
// another device ends the connection while the bridge goes on serving.
#include <gtest/gtest.h>

#include "engine_fixtures.h"

namespace enginetest {
namespace {

std::string Frame(unsigned char type, const std::string& name, const std::string& payload)
{
    std::string body = name + '\0' + payload;
    std::string f;
    f += '\x7E';
    f += static_cast<char>(type);
    f += static_cast<char>(body.size() >> 8);
    f += static_cast<char>(body.size() & 0xFF);
    return f + body + '\x7E';
}

TEST_F(EngineTest, CustomProtocolRegistersAndFramesBothWays)
{
    const uint16_t port = FreePort();
    PortRecord* r = Record(4, MODE_TCPSERVER);
    SetLoc(r, "127.0.0.1", port);
    r->useCustom = 1;
    strcpy(r->devName, "GW1");
    int user = pairs_.OpenUser(4);

    ASSERT_TRUE(StartBridge(r));
    ASSERT_TRUE(target_.WaitFor(r, STATE_WAITING));
    int peer = ConnectTo(port);
    ASSERT_TRUE(target_.WaitFor(r, STATE_CONNECTED));

    // Data from the serial program goes out framed even before registration.
    ASSERT_TRUE(WriteAll(user, "hello"));
    const std::string hello = Frame(4, "GW1", "hello");
    EXPECT_EQ(ReadSome(peer, hello.size()), hello);

    // Data from an unregistered peer is dropped; the connection stays. Each
    // registration is acknowledged and shown.
    const std::string ack("\x7E\x03\x00\x05GW1\x00\x00\x7E", 10);
    ASSERT_TRUE(WriteAll(peer, Frame(4, "GW1", "early")));
    for (int n = 1; n <= 2; ++n) {
        ASSERT_TRUE(WriteAll(peer, Frame(0, "GW1", "")));
        EXPECT_EQ(ReadSome(peer, 10), ack);
        ASSERT_TRUE(target_.WaitFor(r, STATE_REGISTERED, n));
    }

    ASSERT_TRUE(WriteAll(peer, Frame(4, "GW1", std::string("a\x7E\x00z", 4))));
    EXPECT_EQ(ReadSome(user, 4), std::string("a\x7E\x00z", 4));

    // A frame for another device is a protocol error: this connection ends
    // and the server waits for the next client.
    ASSERT_TRUE(WriteAll(peer, Frame(4, "GW2", "x")));
    ASSERT_TRUE(target_.WaitFor(r, STATE_WAITING, 2));
    EXPECT_EQ(ReadSome(peer, 1, 2000), "");

    EXPECT_TRUE(StopBridge(r));

    EXPECT_EQ(target_.States(r),
              (std::vector<int32_t>{STATE_WAITING, STATE_CHECKING, STATE_CONNECTED,
                                    STATE_REGISTERED, STATE_REGISTERED, STATE_WAITING,
                                    STATE_STOPPED}));
    close(peer);
    close(user);
}

}  // namespace
}  // namespace enginetest
