// The receive path from the reading connection and the serial port to a driver, serial ports
// that cannot open, the tick counter. (Each model's serial line and weights in either decimal
// separator: test_drivers.cpp; waits that block instead of spinning: test_faults.cpp.)
#include "helpers.h"

#include <vector>

using namespace t6test;

namespace {

TBal& Drv(int32_t ch) {
    return *ChannelAt(ch)->Driver;
}

} // namespace

TEST_F(LibraryTest, TcpBytesReachTheHandlerOneByOneAndAreDroppedWhenNoneIsArmed) {
    tsim::RawPeer peer(Ip(50), 8883);
    Seta_Ip(Ip(50).c_str());
    const int32_t ch = W5817(0, "C");
    ASSERT_EQ(Select_Canal(ch), TARVEL_SELECT_OK);
    ASSERT_TRUE(peer.WaitClient(tsim::Ms{2000}));

    // Nothing armed: bytes are read and dropped.
    ASSERT_TRUE(peer.Send("dropped"));
    Pump(300);
    std::vector<int> got;
    int calls = 0;
    Drv(ch).ByteHandler = [&](uint8_t b) {
        got.push_back(b);
        ++calls;
    };
    plat::ProcessMessages();
    EXPECT_TRUE(got.empty());

    // Armed: each byte arrives in order, one per notification.
    ASSERT_TRUE(peer.Send(std::string("\x02"
                                      "ab\x00\xff",
                                      5)));
    ASSERT_TRUE(PumpUntil([&] { return got.size() >= 5; }));
    EXPECT_EQ(got, (std::vector<int>{2, 'a', 'b', 0, 255}));
    EXPECT_EQ(calls, 5);

    // A read notification after the converter closed passes nothing on.
    peer.CloseClient();
    ASSERT_TRUE(PumpUntil([&] { return !ChannelAt(ch)->TcpModule->SocLeitura->Active(); }));
    EXPECT_EQ(got.size(), 5u);
    Drv(ch).ByteHandler = nullptr;
}

TEST_F(LibraryTest, SerialCharactersAreFetchedByCountAndHandedOver) {
    tsim::PtyIndicator pty;
    MapCom(6, pty.Path());
    const int32_t ch = WMSI3360Serial(6);
    std::string got;
    Drv(ch).ByteHandler = [&](uint8_t b) { got.push_back(static_cast<char>(b)); };
    ASSERT_TRUE(Drv(ch).OpenPort());
    ASSERT_TRUE(pty.Ind().WaitClients(1, tsim::Ms{2000}));
    pty.Ind().Send("12345");
    ASSERT_TRUE(PumpUntil([&] { return got.size() >= 5; }));
    EXPECT_EQ(got, "12345");

    // No handler armed: still fetched, and dropped.
    Drv(ch).ByteHandler = nullptr;
    pty.Ind().Send("xyz");
    Pump(300);
    got.clear();
    Drv(ch).ByteHandler = [&](uint8_t b) { got.push_back(static_cast<char>(b)); };
    plat::ProcessMessages();
    EXPECT_EQ(got, "");

    // Once closed, nothing more arrives until the next open.
    Drv(ch).ClosePort();
    pty.Ind().Send("after");
    Pump(300);
    EXPECT_EQ(got, "");
    Drv(ch).ByteHandler = nullptr;
}

TEST_F(LibraryTest, SerialPortsThatCannotOpen) {
    MapCom(7, "/nonexistent/tty");
    const int32_t missing = W5817Serial(7);
    EXPECT_FALSE(Drv(missing).OpenPort());
    EXPECT_FALSE(ChannelAt(missing)->SerialModule->SerCom.Open());
    const int32_t none = W5817Serial(0); // port 0 names no port
    EXPECT_FALSE(Drv(none).OpenPort());
    EXPECT_EQ(plat::SerialDevicePath(0), "");
#ifdef _WIN32
    EXPECT_EQ(plat::SerialDevicePath(3), "\\\\.\\COM3");
#else
    ::unsetenv("TARVEL_COM3");
    EXPECT_EQ(plat::SerialDevicePath(3), "/dev/ttyS2");
#endif
    // A TCP channel has no port to open.
    Seta_Ip(Ip(52).c_str());
    const int32_t tcp = W5817(0, "A");
    EXPECT_TRUE(Drv(tcp).OpenPort());
}

TEST(Platform, TickCountWrapsAndElapsedTimeSurvivesIt) {
    plat::SetTickCount(0xFFFFFFFFu - 100);
    const uint32_t start = plat::TickCount();
    EXPECT_GT(start, 0xFFFFFF00u);
    plat::SleepMs(250);
    const uint32_t now = plat::TickCount();
    EXPECT_LT(now, start); // wrapped
    const uint32_t elapsed = now - start;
    EXPECT_GE(elapsed, 200u); // the tick may be as coarse as 16 ms (Windows)
    EXPECT_LT(elapsed, 5000u);
    TickWait(50); // the busy wait measures across the wrap as well
    EXPECT_GE(static_cast<uint32_t>(plat::TickCount() - start), elapsed + 50);
}
