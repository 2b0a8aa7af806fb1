// Opening the bridge side and turning texts into socket addresses.
#include <gtest/gtest.h>

#include "engine/net.h"
#include "engine/serial_side.h"
#include "engine_fixtures.h"

namespace enginetest {
namespace {

using SerialSideTest = EngineTest;

TEST_F(SerialSideTest, BridgeSideOpensOnceAndIsHandedBack)
{
    CapturedOutput out;
    SerialParams fixed;  // what a bridge thread asks for
    BridgeDevice missing = OpenDevice("\\\\.\\ZPVB42", fixed);
    EXPECT_FALSE(missing.IsOpen());
    {
        BridgeDevice first = OpenDevice("\\\\.\\ZPVB1", fixed);
        ASSERT_TRUE(first.IsOpen());
        EXPECT_FALSE(OpenDevice("\\\\.\\ZPVB1", fixed).IsOpen());  // not shared
    }
    // Fields left unset keep the pseudo-terminal's own values, which are the
    // ones the serial program set on its side.
    int user = pairs_.OpenUser(1);
    termios t{};
    tcgetattr(user, &t);
    cfsetspeed(&t, B9600);
    t.c_cflag |= CSTOPB;
    tcsetattr(user, TCSANOW, &t);
    SerialParams keep{0, 0, -1, -1, 1};
    BridgeDevice again = OpenDevice("\\\\.\\ZPVB1", keep);
    EXPECT_TRUE(again.IsOpen());
    close(user);
    out.Restore();
    EXPECT_EQ(out.Err(),
              "OpenDevice(): CreateFile(\"\\\\.\\ZPVB42\") ERROR No such file or directory (2)\n"
              "OpenDevice(): CreateFile(\"\\\\.\\ZPVB1\") ERROR Device or resource busy (16)\n");
    EXPECT_EQ(out.Out(),
              "OpenDevice(\"\\\\.\\ZPVB1\", baud=19200, data=8, parity=no, stop=1) - OK\n"
              "OpenDevice(\"\\\\.\\ZPVB1\", baud=9600, data=8, parity=no, stop=2) - OK\n");
}

TEST(SetAddr, PortDigitsAndTheAllOnesAddress)
{
    sockaddr_in a;
    ASSERT_TRUE(SetAddr(&a, "10.1.2.3", "8080x"));
    EXPECT_EQ(ntohs(a.sin_port), 8080);
    EXPECT_EQ(ntohl(a.sin_addr.s_addr), 0x0A010203u);
    ASSERT_TRUE(SetAddr(&a, nullptr, "none"));
    EXPECT_EQ(a.sin_port, 0);
    EXPECT_EQ(a.sin_addr.s_addr, INADDR_ANY);
    // The conversion's failure value is a real address too: the resolver
    // gives it back.
    ASSERT_TRUE(SetAddr(&a, "255.255.255.255", "7"));
    EXPECT_EQ(a.sin_addr.s_addr, INADDR_BROADCAST);
}

}  // namespace
}  // namespace enginetest
