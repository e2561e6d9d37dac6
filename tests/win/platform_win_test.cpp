// The Windows platform layer against native peers (through the simulator server): socket
// notifications through the thread's message queue, serial ports on pseudo-terminals named
// as COM ports, waits that block, posted callbacks, the locale and the blocking IO
// connection (the tick counter and the paths of COM ports: the shared test_transport.cpp).
// Addresses 127.0.0.220-239 and COM31-33 belong to these tests.
#include "../helpers.h"

// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

namespace {

using tsim::Ms;
using namespace t6test;

std::unique_ptr<plat::TcpClient> Connected(tsim::RawPeer& peer, const std::string& ip) {
    auto c = plat::NewTcpClient();
    c->Open(ip, peer.Port());
    EXPECT_TRUE(PumpUntil([&] { return c->Active(); }));
    EXPECT_TRUE(peer.WaitClient(Ms{3000}));
    return c;
}

// A pseudo-terminal indicator named COM<n> in the Wine prefix.
struct ComPty {
    explicit ComPty(int n) : com(n) { MapCom(n, pty.Path()); }
    ~ComPty() { MapCom(com, ""); }
    tsim::PtyIndicator pty;
    int com;
};

// One byte per notification, in order: the shared test_transport.cpp (through the library).
TEST(WinTcp, SendsAndReceivesNothingWhenNothingWaits) {
    tsim::RawPeer peer(Ip(220), 0);
    auto c = Connected(peer, Ip(220));
    EXPECT_TRUE(c->Send("P\r\n"));
    EXPECT_TRUE(peer.WaitFor("P\r\n", Ms{3000}));
    char b;
    EXPECT_EQ(c->Receive(&b, 1), -1);
    c->Close();
    EXPECT_FALSE(c->Active());
    EXPECT_EQ(c->Receive(&b, 1), 0);
}

TEST(WinTcp, BytesThatWaitedForAHandlerReachItOnceBound) {
    tsim::RawPeer peer(Ip(221), 0);
    auto c = Connected(peer, Ip(221));
    ASSERT_TRUE(peer.Send("abc"));
    Pump(300); // notified with no handler: the bytes stay in the connection
    std::string got;
    c->OnRead = [&] {
        char b;
        if (c->Receive(&b, 1) == 1) got.push_back(b);
    };
    EXPECT_TRUE(PumpUntil([&] { return got.size() >= 3; }));
    EXPECT_EQ(got, "abc");
}

TEST(WinTcp, ThePeersCloseEndsTheConnectionAfterItsLastBytes) {
    tsim::RawPeer peer(Ip(222), 0);
    auto c = Connected(peer, Ip(222));
    std::string got;
    c->OnRead = [&] {
        char b;
        if (c->Receive(&b, 1) == 1) got.push_back(b);
    };
    ASSERT_TRUE(peer.Send("last words"));
    peer.CloseClient();
    EXPECT_TRUE(PumpUntil([&] { return !c->Active(); }));
    EXPECT_EQ(got, "last words");

    // Reconnects after the close; an abortive close ends it as well.
    c->Open(Ip(222), peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return c->Active(); }));
    ASSERT_TRUE(PumpUntil([&] { return peer.Accepted() == 2 && peer.Connected(); }));
    peer.ResetClient();
    EXPECT_TRUE(PumpUntil([&] { return !c->Active(); }));
    EXPECT_FALSE(c->ConnectFailed());
}

TEST(WinTcp, ARefusedConnectionReportsTheReasonAndStaysInactive) {
    auto c = plat::NewTcpClient();
    c->Open(Ip(223), 1); // nothing listens there
    EXPECT_TRUE(PumpUntil([&] { return c->ConnectFailed(); }));
    EXPECT_FALSE(c->Active());
    EXPECT_FALSE(c->FailureText().empty()) << "the system's text for the refusal";

    auto bad = plat::NewTcpClient();
    bad->Open("not an address", 8881);
    EXPECT_TRUE(bad->ConnectFailed());
    EXPECT_FALSE(bad->Active());
}

TEST(WinMessages, WaitBlocksUntilDataOrTimeAndCallbacksRunInsideProcessing) {
    // Nothing pending: the wait takes its time (no early return, no spinning).
    uint64_t t0 = NowMs();
    plat::WaitMessages(300);
    EXPECT_GE(NowMs() - t0, 250u);

    // Data waiting on a connection without a handler wakes the wait early.
    tsim::RawPeer peer(Ip(224), 0);
    auto c = Connected(peer, Ip(224));
    plat::ProcessMessages();
    ASSERT_TRUE(peer.Send("x"));
    t0 = NowMs();
    plat::WaitMessages(8000);
    EXPECT_LT(NowMs() - t0, 6000u);

    // A posted callback runs from message processing once due, in order of time.
    std::string order;
    plat::PostCallback(300, [&] { order += "b"; });
    plat::PostCallback(100, [&] {
        order += "a";
        plat::ProcessMessages(); // re-entering is fine
    });
    plat::ProcessMessages();
    EXPECT_EQ(order, "");
    t0 = NowMs();
    EXPECT_TRUE(PumpUntil([&] { return order.size() == 2; }));
    EXPECT_EQ(order, "ab");
    EXPECT_GE(NowMs() - t0, 200u);

    // The host's quit request survives the library's pumping.
    PostQuitMessage(7);
    plat::ProcessMessages();
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 7u);
}

TEST(WinMessages, NotificationsAlsoArriveInTheHostsOwnMessageLoop) {
    tsim::RawPeer peer(Ip(225), 0);
    auto c = plat::NewTcpClient();
    c->Open(Ip(225), peer.Port());
    std::string got;
    c->OnRead = [&] {
        char b;
        if (c->Receive(&b, 1) == 1) got.push_back(b);
        if (got == "host") PostQuitMessage(0);
    };
    ASSERT_TRUE(peer.WaitClient(Ms{5000}));
    ASSERT_TRUE(peer.Send("host"));
    const UINT_PTR guard = SetTimer(nullptr, 0, 8000, nullptr);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER && msg.wParam == guard) break;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    KillTimer(nullptr, guard);
    EXPECT_TRUE(c->Active());
    EXPECT_EQ(got, "host");
}

// What an opening sets, and characters handed over by count, are the shared suites' (test_drivers
// and test_transport); here the settings of an open port, and characters that wait for a
// handler.
TEST(WinSerial, SettingsApplyToTheOpenPortAndCharactersWaitForAHandler) {
    ComPty p(31);
    auto port = plat::NewSerialPort();
    plat::SerialSettings s;
    s.comNumber = 31;
    s.baud = 1200;
    s.parity = plat::ParityMark;
    s.dtr = s.rts = false;
    ASSERT_TRUE(port->Open(s));
    EXPECT_TRUE(port->IsOpen());
    s.baud = 9600;
    s.parity = plat::ParitySpace;
    s.stopBits = 2;
    ASSERT_TRUE(port->Apply(s));
    const tsim::LineSettings line = p.pty.Line();
    EXPECT_EQ(line.baud, 9600u);
    EXPECT_TRUE(!line.parityOdd && line.parityStick);
    EXPECT_EQ(line.stopBits, 2);
    s.dataBits = 9;
    EXPECT_FALSE(port->Apply(s));

    // Characters that came while no handler was bound are announced once one is.
    p.pty.Ind().Send("67");
    Pump(300);
    std::string got;
    port->OnTriggerAvail = [&](uint16_t count) {
        EXPECT_GT(count, 0);
        char buf[64];
        got.append(buf, port->Read(buf, std::min<size_t>(count, sizeof buf)));
    };
    EXPECT_TRUE(PumpUntil([&] { return got.size() >= 2; }));
    EXPECT_EQ(got, "67");

    // Closed: nothing can be fetched or written.
    port->Close();
    EXPECT_FALSE(port->IsOpen());
    char c;
    EXPECT_EQ(port->Read(&c, 1), 0u);
    EXPECT_FALSE(port->Write("x"));
}

TEST(WinSerial, TheReceiveBufferIsBoundedAndNothingIsLost) {
    ComPty p(32);
    auto port = plat::NewSerialPort();
    plat::SerialSettings s;
    s.comNumber = 32;
    s.baud = 9600;
    s.dataBits = 8;
    ASSERT_TRUE(port->Open(s));
    const std::string block(10000, 'w');
    p.pty.Ind().Send(block);
    Sleep(500); // nobody fetches meanwhile
    size_t got = 0;
    int maxCount = 0;
    port->OnTriggerAvail = [&](uint16_t count) {
        maxCount = std::max<int>(maxCount, count);
        char buf[4096];
        got += port->Read(buf, count); // all of them in one go
    };
    EXPECT_TRUE(PumpUntil([&] { return got >= block.size(); }, 15000));
    EXPECT_EQ(got, block.size());
    EXPECT_LE(maxCount, 4096);
}

TEST(WinSerial, PortsThatCannotOpen) {
    ComPty p(33);
    plat::SerialSettings s;
    s.comNumber = 33;
    auto first = plat::NewSerialPort();
    ASSERT_TRUE(first->Open(s));
    EXPECT_TRUE(first->Open(s)); // already open: settings applied again
    auto second = plat::NewSerialPort();
    EXPECT_FALSE(second->Open(s)); // in use
    first->Close();
    EXPECT_TRUE(second->Open(s));
    second->Close();

    s.comNumber = 199; // not mapped to any device
    EXPECT_FALSE(second->Open(s));
    EXPECT_FALSE(second->IsOpen());
}

TEST(WinPlatform, TheLocaleGivesTheSeparator) {
    const std::string sep = plat::SystemDecimalSeparator();
    char buf[8] = {};
    ASSERT_GT(GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, LOCALE_SDECIMAL, buf, sizeof buf), 0);
    EXPECT_EQ(sep, buf);
    plat::SetDecimalSeparator(',');
    EXPECT_EQ(plat::SystemDecimalSeparator(), ",");
    plat::SetDecimalSeparator(0);
    EXPECT_EQ(plat::SystemDecimalSeparator(), sep);
}

TEST(WinPlatform, BlockingConnectionBoundsItsWaits) {
    tsim::RawPeer peer(Ip(226), 0);
    auto io = plat::NewBlockingTcp();
    ASSERT_TRUE(io->Connect(Ip(226), peer.Port(), 10000));
    ASSERT_TRUE(peer.WaitClient(Ms{3000}));
    EXPECT_TRUE(io->Send("IN\r", 1000));
    EXPECT_TRUE(peer.WaitFor("IN\r", Ms{3000}));
    char buf[32];
    const uint64_t t0 = NowMs();
    EXPECT_EQ(io->Receive(buf, sizeof buf, 300), 0); // nothing came in time
    EXPECT_GE(NowMs() - t0, 250u);
    ASSERT_TRUE(peer.Send("IN005 OK\n\r"));
    std::string got;
    while (got.size() < 10) {
        const int n = io->Receive(buf, sizeof buf, 3000);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(got, "IN005 OK\n\r");
    peer.CloseClient();
    EXPECT_EQ(io->Receive(buf, sizeof buf, 3000), -2);
    io->Close();

    // A reset is a receive failure, not an orderly end.
    ASSERT_TRUE(io->Connect(Ip(226), peer.Port(), 10000));
    ASSERT_TRUE(PumpUntil([&] { return peer.Accepted() == 2 && peer.Connected(); }));
    peer.ResetClient();
    EXPECT_EQ(io->Receive(buf, sizeof buf, 3000), -1);
    io->Close();

    auto refused = plat::NewBlockingTcp();
    EXPECT_FALSE(refused->Connect(Ip(227), 1, 10000));
}

} // namespace
