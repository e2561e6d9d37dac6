// The receive path from the reading connection and the serial port to a channel's poll,
// transports that belong to the thread that created them, serial ports that cannot open, the
// tick counter. (Each model's serial line and weights in either decimal separator:
// test_drivers.cpp; waits that block instead of spinning: test_faults.cpp.)
#include "helpers.h"

#include <random>
#include <thread>
#include <vector>

using namespace t6test;

namespace {

TBal& Drv(int32_t ch) {
    return *ChannelAt(ch)->Driver;
}

// Sends `bytes` in pieces of 1 to 7 bytes, a few milliseconds apart.
template <class Peer> void SendInPieces(Peer& peer, const std::string& bytes) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<size_t> size(1, 7);
    for (size_t at = 0; at < bytes.size();) {
        const size_t n = std::min(size(rng), bytes.size() - at);
        peer.Send(bytes.substr(at, n));
        at += n;
        std::this_thread::sleep_for(tsim::Ms{3});
    }
}

} // namespace

// The reading connection's bytes reach the poll in order, whatever pieces they come in; what
// comes while no poll waits is dropped, and so is what follows the frame a poll takes: each
// poll reads a frame that began after it started.
TEST_F(LibraryTest, TcpBytesReachThePollInAnyPiecesAndWaitForNoPoll) {
    tsim::RawPeer peer(Ip(50), 8883);
    Seta_Ip(Ip(50).c_str());
    const int32_t ch = W5817(0, "C");
    ASSERT_EQ(Select_Canal(ch), TARVEL_SELECT_OK);
    ASSERT_TRUE(peer.WaitClient(tsim::Ms{2000}));

    ASSERT_TRUE(peer.Send(tsim::Frame5817(Reading(111, 0)))); // no poll waits: dropped
    Pump(300);
    std::thread pieces;
    plat::PostCallback(50, [&] {
        pieces = std::thread([&] { SendInPieces(peer, tsim::Frame5817(Reading(222, 0))); });
    });
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
    pieces.join();
    EXPECT_STREQ(Net_Canal(ch), "       222");

    // Two frames at once: the poll takes the first, the second goes with it.
    EXPECT_EQ(PollWhileSending(peer, ch,
                               tsim::Frame5817(Reading(444, 0)) + tsim::Frame5817(Reading(555, 0))),
              TARVEL_POLL_OK);
    EXPECT_STREQ(Net_Canal(ch), "       444");
    EXPECT_EQ(Update_NoMotion(ch, 300), TARVEL_POLL_MOTION);
    EXPECT_STREQ(Net_Canal(ch), "0");

    // After the converter closed the connection nothing more comes in.
    peer.CloseClient();
    EXPECT_EQ(Update_NoMotion(ch, 300), TARVEL_POLL_MOTION);
    EXPECT_FALSE(ChannelAt(ch)->TcpModule->SocLeitura->Active());
}

// The same on a serial port: the characters a notification announces are taken at once, in
// order, and those that come while no poll waits are dropped.
TEST_F(LibraryTest, SerialCharactersReachThePollInAnyPiecesAndWaitForNoPoll) {
    tsim::PtyIndicator pty;
    MapCom(6, pty.Path());
    const int32_t ch = WMSI3360Serial(6);
    const std::string frame = tsim::FrameMsi3360("  12.50", "  10.00", "   2.50");
    std::thread pieces;
    plat::PostCallback(50, [&] {
        pieces = std::thread([&] {
            pty.Ind().WaitClients(1, tsim::Ms{2000});
            SendInPieces(pty.Ind(), "noise" + frame);
        });
    });
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
    pieces.join();
    EXPECT_STREQ(Net_Canal(ch), "   10.00");
    EXPECT_FALSE(ChannelAt(ch)->SerialModule->SerCom.Open()); // closed with the frame

    // Characters on a port left open by a poll that timed out are dropped until the next
    // poll, which reads a frame of its own.
    EXPECT_EQ(Update_NoMotion(ch, 200), TARVEL_POLL_NO_FRAME);
    ASSERT_TRUE(ChannelAt(ch)->SerialModule->SerCom.Open());
    pty.Ind().Send(tsim::FrameMsi3360("1", "1", "0"));
    Pump(300);
    EXPECT_EQ(PollWhileSending(pty.Ind(), ch, tsim::FrameMsi3360("2", "2", "0")), TARVEL_POLL_OK);
    EXPECT_STREQ(Net_Canal(ch), "       2");
}

// A transport belongs to the thread that created it: a close (or an open) from another thread
// is refused and leaves it whole on its own thread, where it goes on working and is closed
// at the end; nothing of it is left behind in either thread (AddressSanitizer's run shows it).
// The exported Close_Canal and Deleta_Canal refuse such a call the same way.
TEST_F(LibraryTest, ATransportIsClosedOnlyByItsOwnThread) {
    tsim::RawPeer peer(Ip(51), 8881);
    auto client = plat::NewTcpClient();
    std::string got;
    client->OnRead = [&] {
        char buf[64];
        const int n = client->Receive(buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
    };
    client->Open(Ip(51), 8881);
    ASSERT_TRUE(PumpUntil([&] { return client->Active(); }));
    ASSERT_TRUE(peer.WaitClient(tsim::Ms{2000}));
    bool closed = true;
    EXPECT_DEBUG_DEATH(std::thread([&] { closed = client->Close(); }).join(), "thread");
    EXPECT_FALSE(closed);
    EXPECT_TRUE(client->Active());
    ASSERT_TRUE(peer.Send("still here"));
    EXPECT_TRUE(PumpUntil([&] { return got == "still here"; }));
    auto other = plat::NewTcpClient();
    std::thread([&] { other = plat::NewTcpClient(); }).join(); // made there: not ours to open
    other->Open(Ip(51), 8881);
    EXPECT_TRUE(other->ConnectFailed());
    EXPECT_EQ(other->FailureText(), plat::kForeignThread);
    EXPECT_TRUE(client->Close());
    EXPECT_TRUE(peer.WaitClientClosed(tsim::Ms{2000}));
    client.reset();
    Pump(100); // the thread's table of sources no longer holds it

    tsim::Converter conv(Ip(53), false);
    conv.Channel('B').Stream(tsim::Frame5817(Reading(77, 0)), Every(50));
    Seta_Ip(Ip(53).c_str());
    const int32_t ch = W5817(0, "B");
    ASSERT_EQ(Select_Canal(ch), TARVEL_SELECT_OK);
    EXPECT_DEBUG_DEATH(std::thread([&] {
                           Close_Canal(ch);
                           Deleta_Canal(ch);
                       }).join(),
                       "thread");
    ASSERT_NE(ChannelAt(ch), nullptr);
    EXPECT_NE(std::string(Display_Erro(ch)).find("thread"), std::string::npos);
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
    EXPECT_STREQ(Net_Canal(ch), "        77");
    Deleta_Canal(ch);
    EXPECT_EQ(ChannelAt(ch), nullptr);
    EXPECT_TRUE(PumpUntil([&] { return conv.Channel('B').Clients() == 0; }));
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
