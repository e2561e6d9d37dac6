// Real loopback peers and pseudo-terminals. Addresses 127.0.77.x are reserved for these tests.
#include "tarvelsim.h"
#include "sim_client.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;
using simtest::Client;
using simtest::Clock;

tsim::Ind5817 Reading(long weight) {
    return {.weight = weight, .tare = 7, .decimalCode = 4};
}

// Streaming, requests and the IO port's modes as the library meets them are exercised by the
// library's suites (tests/); here what they do not show.
TEST(Converter, DisconnectsClientsAndHoldsItsPorts) {
    tsim::Converter conv("127.0.77.1");
    const std::string f = tsim::Frame5817(Reading(1234));
    conv.Channel('a').Stream(f);
    Client c("127.0.77.1", 8881);
    ASSERT_TRUE(c.Ok()) << c.Error();
    EXPECT_NE(c.ReadUntil(f + f, 3s).find(f + f), std::string::npos);
    EXPECT_TRUE(conv.Channel('A').DisconnectClients());
    c.ReadUntil("never", 3s);
    EXPECT_TRUE(c.Eof());

    // Other channels are silent until told otherwise.
    Client d("127.0.77.1", 8884);
    ASSERT_TRUE(d.Ok());
    EXPECT_EQ(d.ReadSome(200ms), "");

    // The ports are taken while the converter lives.
    try {
        tsim::Converter twin("127.0.77.1");
        ADD_FAILURE() << "second converter on the same address";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("127.0.77.1:8881"), std::string::npos) << e.what();
    }
}

TEST(Converter, StreamOptionsGarbageCutAndByteGaps) {
    tsim::Converter conv("127.0.77.2", false);
    const std::string f = tsim::FrameKrt(Reading(42));
    tsim::StreamOptions o;
    o.period = 20ms;
    o.garbage = "##";
    o.cutEvery = 2;
    conv.Channel(2).Stream(f, o);
    Client c("127.0.77.2", 8882);
    ASSERT_TRUE(c.Ok());
    std::string got = c.ReadUntil("##" + f + "##" + f.substr(0, f.size() / 2) + "##", 3s);
    EXPECT_NE(got.find("##" + f + "##" + f.substr(0, f.size() / 2) + "##"), std::string::npos);

    o = {};
    o.period = 1000ms;
    o.byteGap = 15ms;
    conv.Channel(2).Stream(f, o);
    // Bytes trickle in one by one: many small reads.
    std::string joined;
    int reads = 0;
    auto end = Clock::now() + 5s;
    while (joined.find(f) == std::string::npos && Clock::now() < end) {
        std::string s = c.ReadSome(500ms);
        if (!s.empty()) ++reads;
        joined += s;
    }
    EXPECT_NE(joined.find(f), std::string::npos);
    EXPECT_GT(reads, 3);
}

TEST(Converter, AnswersRequestsOnlyAfterPCrLf) {
    tsim::Converter conv("127.0.77.3", false);
    auto& ind = conv.Channel('C');
    const std::string line = tsim::OhausReading(-1.5, 2);
    ind.OnRequest(line);
    Client c("127.0.77.3", 8883);
    ASSERT_TRUE(c.Ok());
    c.Write("P");
    std::this_thread::sleep_for(100ms);
    c.Write("\r");
    EXPECT_EQ(c.ReadSome(150ms), ""); // no LF yet: no request
    c.Write("\n");
    EXPECT_EQ(c.ReadUntil("\n", 3s), line);
    EXPECT_EQ(ind.Requests(), 1);

    ind.SetFrame(tsim::OhausLine("   12.3", "kg", true));
    c.Write("X\r\nP\r\n");
    EXPECT_EQ(c.ReadUntil("\n", 3s), "   12.3 kg ?\r\n");
    EXPECT_TRUE(ind.WaitRequests(2, 1s));

    ind.SetRequestOptions({0ms, true}); // counts, never answers
    c.Write("P\r\n");
    EXPECT_TRUE(ind.WaitRequests(3, 3s));
    EXPECT_EQ(c.ReadSome(300ms), "");

    ind.SetRequestOptions({300ms, false});
    auto t0 = Clock::now();
    c.Write("P\r\n");
    EXPECT_EQ(c.ReadUntil("\n", 5s), "   12.3 kg ?\r\n");
    EXPECT_GE(Clock::now() - t0, 250ms);
}

TEST(IoPort, RepliesOutputsAndABoundedFlood) {
    tsim::Converter conv("127.0.77.4");
    auto& io = conv.Io();
    io.SetInput(12);
    auto exchange = [](const std::string& cmd) {
        Client c("127.0.77.4", 8880);
        EXPECT_TRUE(c.Ok()) << c.Error();
        c.Write(cmd + "\r");
        return c.ReadUntil(" OK\n\r", 3s);
    };
    EXPECT_EQ(exchange("IN"), "IN012 OK\n\r");
    EXPECT_EQ(exchange("OP5"), " OK\n\r");
    EXPECT_EQ(exchange("OB13"), " OK\n\r");
    EXPECT_EQ(io.OutputText(), "SNSSNNNN");
    exchange("OB00");
    exchange("RA");
    EXPECT_EQ(io.Output(), 12);
    EXPECT_EQ(io.Commands(), (std::vector<std::string>{"IN", "OP5", "OB13", "OB00", "RA"}));

    // A reply in pieces: the first read holds only the first piece.
    io.SetReplyPieces({3, 7}, 200ms);
    {
        Client c("127.0.77.4", 8880);
        c.Write("IN\r");
        std::string first = c.ReadSome(3s);
        EXPECT_EQ(first.substr(0, 3), "IN0");
        EXPECT_LT(first.size(), 10u);
        EXPECT_EQ(first + c.ReadUntil(" OK\n\r", 3s), "IN012 OK\n\r");
    }

    // A flood stops at its bound, and the connection stays open.
    io.SetFlood("0123456789", 200000);
    Client c("127.0.77.4", 8880);
    c.Write("IN\r");
    std::string got;
    for (auto end = Clock::now() + 10s; got.size() < 200000 && Clock::now() < end;)
        got += c.ReadSome(500ms);
    EXPECT_EQ(got.size(), 200000u);
    EXPECT_EQ(c.ReadSome(200ms), "");
    EXPECT_FALSE(c.Eof());
}

TEST(Pty, LineSettingsAndRoundTrips) {
    tsim::PtyIndicator pty;
    ASSERT_EQ(pty.Path().rfind("/dev/", 0), 0u);
    int fd = ::open(pty.Path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(::tcgetattr(fd, &t), 0);
    ::cfmakeraw(&t);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    t.c_cflag |= CS7 | PARENB | PARODD | CMSPAR | CSTOPB;
    ::cfsetispeed(&t, B1200);
    ::cfsetospeed(&t, B1200);
    ASSERT_EQ(::tcsetattr(fd, TCSANOW, &t), 0);
    tsim::LineSettings l = pty.Line();
    EXPECT_EQ(l.baud, 1200u);
    EXPECT_EQ(l.stopBits, 2);
    EXPECT_TRUE(l.parityOdd);
    EXPECT_TRUE(l.parityStick);
    EXPECT_EQ(l.inBaud, 1200u);
    EXPECT_FALSE(l.hardwareFlow || l.softwareFlow);
    std::cout << "pty reports: " << l.Describe() << "\n";

    Client c(fd); // owns fd from here
    const std::string f = tsim::Frame5817(Reading(77));
    pty.Ind().Stream(f, {20ms, "", 0, 0ms});
    EXPECT_NE(c.ReadUntil(f, 3s).find(f), std::string::npos);

    // Unread frames do not pile up while nobody reads.
    std::this_thread::sleep_for(400ms);
    std::string backlog = c.ReadSome(100ms);
    EXPECT_LE(backlog.size(), 4 * f.size());
    // Requests over the line and a line opened again: the library's serial suites.
}

TEST(RawPeer, SendsReceivesAndCloses) {
    tsim::RawPeer peer("127.0.77.5", 0);
    ASSERT_GT(peer.Port(), 0);
    EXPECT_FALSE(peer.Send("x"));
    {
        Client c("127.0.77.5", peer.Port());
        ASSERT_TRUE(c.Ok());
        ASSERT_TRUE(peer.WaitClient(3s));
        EXPECT_TRUE(peer.Send("abc"));
        EXPECT_EQ(c.ReadUntil("abc", 3s), "abc");
        c.Write("xyz");
        EXPECT_TRUE(peer.WaitFor("xyz", 3s));
        peer.CloseClient();
        c.ReadUntil("never", 3s);
        EXPECT_TRUE(c.Eof());
        EXPECT_EQ(c.ReadErrno(), 0);
    }
    {
        Client c("127.0.77.5", peer.Port());
        ASSERT_TRUE(c.Ok());
        ASSERT_TRUE(peer.WaitClient(3s));
        peer.ResetClient();
        c.ReadUntil("never", 3s);
        EXPECT_TRUE(c.Eof());
        EXPECT_EQ(c.ReadErrno(), ECONNRESET);
    }
    {
        Client c("127.0.77.5", peer.Port());
        ASSERT_TRUE(peer.WaitClient(3s));
        c.Close();
        EXPECT_TRUE(peer.WaitClientClosed(3s));
    }
    EXPECT_EQ(peer.Accepted(), 3);
    EXPECT_EQ(peer.Received(), "xyz");
}

} // namespace
