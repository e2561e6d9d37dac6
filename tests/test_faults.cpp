// Peers that misbehave: a converter that refuses, accepts and stays silent, hangs up in the
// middle of a frame, floods garbage or trickles one byte a second, and a serial device that
// disappears during a poll. Each call must end with its failure value in its own time, keep
// its memory bounded, and read correctly once the peer is back. (The IO port that refuses,
// stays silent or floods: test_dio.cpp.) Addresses 127.0.0.182-193, serial ports COM41-46.
#include "helpers.h"

#include <unistd.h>

#include <fstream>
#include <memory>
#include <thread>

using namespace t6test;

namespace {

constexpr size_t kMiB = size_t{1} << 20;
// What a second flood may add to the resident set at most, measured after a first one (so
// that the peers' own buffers have reached their size): anything of the library that grows
// with the bytes received would show.
constexpr size_t kRssSlack = 8 * kMiB;

// The frame every recovery reads: net 123.4, tare 10.0, gross 133.4.
const std::string kGoodFrame = tsim::Frame5817(Reading(1234, 100, 3));

void ExpectGoodReading(int32_t ch) {
    EXPECT_STREQ(Net_Canal(ch), "     123.4");
    EXPECT_STREQ(Tare_Canal(ch), "      10.0");
    EXPECT_STREQ(Gross_Canal(ch), "     133.4");
    EXPECT_STREQ(Estado_EmMovimento(ch), "N");
}

// `n` bytes without STX, ETX, LF or CR (zero bytes and 8-bit bytes included).
std::string Garbage(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 0x2545F491u;
    for (char& c : s) {
        do {
            x = x * 1103515245u + 12345u;
            c = static_cast<char>(x >> 24);
        } while (c == 0x02 || c == 0x03 || c == 0x0A || c == 0x0D);
    }
    return s;
}

size_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
}

// The resident set has not grown by more than kRssSlack since `before`. Not under
// AddressSanitizer, whose quarantine keeps freed memory resident on purpose.
void ExpectRssBounded([[maybe_unused]] size_t before) {
#ifndef __SANITIZE_ADDRESS__
    EXPECT_LT(ResidentBytes(), before + kRssSlack);
#endif
}

uint64_t ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// Wall and CPU time of one call on this thread.
struct Took {
    uint64_t wallMs = 0;
    uint64_t cpuMs = 0;
};

template <class F> auto Timed(Took& took, F&& call) {
    const uint64_t wall = NowMs();
    const uint64_t cpu = ThreadCpuMs();
    auto result = call();
    took.wallMs = NowMs() - wall;
    took.cpuMs = ThreadCpuMs() - cpu;
    return result;
}

// A waiting call blocks rather than spins: well under half of its wall time on the CPU.
void ExpectIdleWait(const Took& t) {
    EXPECT_LT(t.cpuMs * 2, t.wallMs + 100) << t.cpuMs << " ms CPU in " << t.wallMs << " ms";
}

// Peer actions run on threads of their own (std::jthread: asked to stop and joined when it
// goes out of scope). Sleeps `ms` unless asked to stop first; false when asked.
bool Nap(int ms, const std::stop_token& stop) {
    for (int i = 0; i < ms / 10 && !stop.stop_requested(); ++i)
        std::this_thread::sleep_for(tsim::Ms{10});
    return !stop.stop_requested();
}

// Sends `bytes` to the peer's client in 64 KiB pieces; each piece must go out within the
// peer's one-second write limit, so a reader that stops reading ends the flood.
void SendInPieces(tsim::RawPeer& peer, const std::string& bytes, const std::stop_token& stop) {
    constexpr size_t kPiece = 64 * 1024;
    for (size_t at = 0; at < bytes.size() && !stop.stop_requested(); at += kPiece)
        if (!peer.Send(std::string_view(bytes).substr(at, kPiece))) return;
}

// A 5817 channel on converter channel A of a plain peer at 127.0.0.<n>:8881, connected.
int32_t ConnectRaw(tsim::RawPeer& peer, int n) {
    const int32_t ch = W5817(Seta_Ip(Ip(n).c_str()), "A");
    EXPECT_EQ(Select_Canal(ch), TARVEL_SELECT_OK);
    EXPECT_TRUE(peer.WaitClient(tsim::Ms{2000}));
    return ch;
}

class Faults : public LibraryTest {};

} // namespace

// ---- TCP reading connection (5817 channel) ----------------------------------------------

TEST_F(Faults, TcpConverterThatRefusesThenComesUp) {
    const int32_t ch = W5817(Seta_Ip(Ip(182).c_str()), "A");
    Took t;
    EXPECT_EQ(Timed(t, [&] { return Select_Canal(ch); }), TARVEL_SELECT_FAILED);
    EXPECT_LT(t.wallMs, 3000u); // a refusal ends the connect wait at once
    EXPECT_FALSE(Chan(ch).TcpModule->SocLeitura->Active());
    // A poll of the unconnected channel waits out its time and fails.
    EXPECT_EQ(Timed(t, [&] { return Update_NoMotion(ch, 800); }), TARVEL_POLL_MOTION);
    EXPECT_GE(t.wallMs, 700u);
    EXPECT_LT(t.wallMs, 4000u);
    ExpectIdleWait(t);

    tsim::Converter conv(Ip(182), false);
    conv.Channel('A').Stream(kGoodFrame, Every(20));
    EXPECT_EQ(Select_Canal(ch), TARVEL_SELECT_OK);
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
    ExpectGoodReading(ch);
}

TEST_F(Faults, TcpConverterThatAcceptsAndNeverSends) {
    tsim::Converter conv(Ip(183), false); // channels start silent
    const int32_t ch = Connect(conv, 183);
    Took t;
    EXPECT_EQ(Timed(t, [&] { return Update_Canal(ch); }), TARVEL_POLL_NO_FRAME);
    EXPECT_GE(t.wallMs, 9500u); // the plain poll's 10000 ms
    EXPECT_LT(t.wallMs, 14000u);
    ExpectIdleWait(t);
    EXPECT_STREQ(Net_Canal(ch), "0");
    EXPECT_EQ(Chan(ch).ChannelState, 2);

    conv.Channel('A').Stream(kGoodFrame, Every(20));
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
    ExpectGoodReading(ch);
}

TEST_F(Faults, TcpConverterThatHangsUpInTheMiddleOfAFrame) {
    tsim::RawPeer peer(Ip(184), 8881);
    const int32_t ch = ConnectRaw(peer, 184);
    plat::PostCallback(50, [&] {
        peer.Send(kGoodFrame.substr(0, 9)); // STX, status, half the weight
        peer.CloseClient();
    });
    Took t;
    EXPECT_EQ(Timed(t, [&] { return Update_NoMotion(ch, 1500); }), TARVEL_POLL_MOTION);
    EXPECT_GE(t.wallMs, 1400u);
    EXPECT_LT(t.wallMs, 5000u);
    ExpectIdleWait(t);
    EXPECT_FALSE(Chan(ch).TcpModule->SocLeitura->Active()); // the close was noticed
    EXPECT_STREQ(Net_Canal(ch), "0");

    // The converter takes the next connection; the cut frame leaves no trace.
    EXPECT_EQ(Select_Canal(ch), TARVEL_SELECT_OK);
    ASSERT_TRUE(PumpUntil([&] { return peer.Accepted() == 2 && peer.Connected(); }));
    EXPECT_EQ(PollWhileSending(peer, ch, kGoodFrame.substr(9) + kGoodFrame), TARVEL_POLL_OK);
    ExpectGoodReading(ch);
}

TEST_F(Faults, TcpConverterThatFloodsGarbage) {
    tsim::RawPeer peer(Ip(185), 8881);
    const int32_t ch = ConnectRaw(peer, 185);
    // A quarter of a megabyte: hundreds of times the frame buffer, and through the poll well
    // within its time even under the sanitizers on a loaded machine.
    const std::string garbage = Garbage(kMiB / 4);

    // The whole flood goes through the poll, byte by byte, and the frame behind it is read.
    {
        std::jthread flood(
            [&](std::stop_token stop) { SendInPieces(peer, garbage + kGoodFrame, stop); });
        Took t;
        EXPECT_EQ(Timed(t, [&] { return Update_Canal(ch); }), TARVEL_POLL_OK);
        EXPECT_LT(t.wallMs, 9000u);
        ExpectGoodReading(ch);
    }
    const size_t rssBefore = ResidentBytes();

    // A flood that opens a frame and never ends it: the frame buffer stays bounded and the
    // poll ends at its time.
    {
        std::jthread flood([&](std::stop_token stop) {
            SendInPieces(peer, std::string(1, tsim::kStx) + garbage, stop);
        });
        Took t;
        EXPECT_EQ(Timed(t, [&] { return Update_NoMotion(ch, 1500); }), TARVEL_POLL_MOTION);
        EXPECT_GE(t.wallMs, 1400u);
        EXPECT_LT(t.wallMs, 5000u);
        EXPECT_LE(Chan(ch).Driver->RxBuffer.size(), TBal::kMaxRxBuffer);
        EXPECT_LE(Chan(ch).Driver->RxBuffer.capacity(), 2 * TBal::kMaxRxBuffer);
    }
    ExpectRssBounded(rssBefore);

    // What is left of the flood in the connection is waded through before the next frame.
    EXPECT_EQ(PollWhileSending(peer, ch, kGoodFrame), TARVEL_POLL_OK);
    ExpectGoodReading(ch);
    EXPECT_TRUE(Chan(ch).TcpModule->SocLeitura->Active());
}

// A channel flooding garbage does not hold up the poll of another channel of the thread.
TEST_F(Faults, FloodOnOneChannelDoesNotStarveAnother) {
    tsim::RawPeer noisy(Ip(192), 8881), quiet(Ip(192), 8882);
    const int32_t ip = Seta_Ip(Ip(192).c_str());
    const int32_t chNoisy = W5817(ip, "A"), chQuiet = W5817(ip, "B");
    ASSERT_EQ(Select_Canal(chNoisy), TARVEL_SELECT_OK);
    ASSERT_EQ(Select_Canal(chQuiet), TARVEL_SELECT_OK);
    ASSERT_TRUE(noisy.WaitClient(tsim::Ms{2000}) && quiet.WaitClient(tsim::Ms{2000}));
    const std::string garbage = Garbage(8 * kMiB); // seconds of flood at the library's pace
    std::jthread flood([&](std::stop_token stop) { SendInPieces(noisy, garbage, stop); });
    Pump(100); // the flood is under way
    Took t;
    EXPECT_EQ(Timed(t, [&] { return PollWhileSending(quiet, chQuiet, kGoodFrame); }),
              TARVEL_POLL_OK);
    EXPECT_LT(t.wallMs, 3000u);
    ExpectGoodReading(chQuiet);
}

// Two channels with bytes waiting at once; the handler of one closes the other in the middle
// of the processing. The closed channel's handler never runs again; the other takes all of
// its bytes.
TEST_F(Faults, BusyChannelClosedFromAnotherChannelsHandler) {
    tsim::RawPeer first(Ip(193), 8881), second(Ip(193), 8882);
    const int32_t ip = Seta_Ip(Ip(193).c_str());
    const int32_t chFirst = W5817(ip, "A"), chSecond = W5817(ip, "B");
    ASSERT_EQ(Select_Canal(chFirst), TARVEL_SELECT_OK);
    ASSERT_EQ(Select_Canal(chSecond), TARVEL_SELECT_OK);
    ASSERT_TRUE(first.WaitClient(tsim::Ms{2000}) && second.WaitClient(tsim::Ms{2000}));
    size_t gotFirst = 0, firstAtClose = 0;
    std::string gotSecond;
    Chan(chFirst).Driver->ByteHandler = [&](uint8_t) { ++gotFirst; };
    Chan(chSecond).Driver->ByteHandler = [&](uint8_t c) {
        gotSecond.push_back(static_cast<char>(c));
        if (gotSecond.size() == 1) {
            Close_Canal(chFirst);
            firstAtClose = gotFirst;
        }
    };
    ASSERT_TRUE(first.Send(std::string(64, 'f')));
    ASSERT_TRUE(second.Send(std::string(64, 's')));
    std::this_thread::sleep_for(tsim::Ms{100}); // both connections have bytes waiting
    EXPECT_TRUE(PumpUntil([&] { return gotSecond.size() == 64; }));
    EXPECT_EQ(gotSecond, std::string(64, 's'));
    EXPECT_EQ(gotFirst, firstAtClose);
    EXPECT_EQ(Chan(chFirst).ChannelState, 1);
    EXPECT_TRUE(first.WaitClientClosed(tsim::Ms{2000}));
    Chan(chSecond).Driver->ByteHandler = nullptr;
}

// ---- IO command connection ------------------------------------------------------------------

TEST_F(Faults, IoPortThatHangsUpInTheMiddleOfAReply) {
    tsim::RawPeer peer(Ip(189), 8880);
    const int32_t ip = Seta_Ip(Ip(189).c_str());
    // Answers the next command with `reply`, then closes (or only when `close`).
    auto answer = [&](std::string command, std::string reply, bool close) {
        peer.ClearReceived();
        return std::make_unique<std::jthread>([&peer, command, reply, close] {
            if (!peer.WaitFor(command + "\r", tsim::Ms{3000})) return;
            peer.Send(reply);
            if (close) peer.CloseClient();
        });
    };
    Took t;
    {
        // The port value came in whole before the close: it is used, without waiting.
        auto peerSide = answer("IN", "IN012 O", true);
        EXPECT_EQ(Timed(t, [&] { return DIO_InPort(ip); }), 12);
        EXPECT_LT(t.wallMs, 3000u);
    }
    {
        auto peerSide = answer("IN", "I", true);
        EXPECT_EQ(Timed(t, [&] { return DIO_InPort(ip); }), -1);
        EXPECT_LT(t.wallMs, 3000u);
    }
    {
        auto peerSide = answer("OP9", " O", true);
        EXPECT_EQ(Timed(t, [&] { return DIO_OutPort(ip, 9); }), 0);
        EXPECT_LT(t.wallMs, 3000u);
    }
    {
        auto peerSide = answer("IN", "IN201 OK\n\r", false);
        EXPECT_EQ(DIO_InPort(ip), 201);
    }
}

TEST_F(Faults, IoReplyTricklingSlowerThanTheExchange) {
    tsim::Converter conv(Ip(191));
    const int32_t ip = Seta_Ip(Ip(191).c_str());
    // One byte a second: the value is in after five seconds, the end marker would be after
    // twenty.
    const std::string reply = "IN012" + std::string(15, ' ') + " OK\n\r";
    std::vector<size_t> cuts;
    for (size_t i = 1; i < reply.size(); ++i)
        cuts.push_back(i);
    conv.Io().SetCustomReply(reply);
    conv.Io().SetReplyPieces(cuts, tsim::Ms{1000});
    Took t;
    EXPECT_EQ(Timed(t, [&] { return DIO_InPort(ip); }), 12);
    EXPECT_GE(t.wallMs, 9500u); // the exchange's 10000 ms, not the reply's twenty seconds
    EXPECT_LT(t.wallMs, 14000u);
    ExpectIdleWait(t);

    conv.Io().SetReplyPieces({});
    conv.Io().SetMode(tsim::IoMode::Normal);
    conv.Io().SetInput(7);
    EXPECT_EQ(DIO_InPort(ip), 7);
}

// ---- serial port (pseudo-terminal) -----------------------------------------------------------

TEST_F(Faults, SerialPortThatDoesNotExistThenAppears) {
    MapCom(41, "/nonexistent/tarvel-faults-tty");
    const int32_t ch = W5817Serial(41);
    Took t;
    EXPECT_EQ(Timed(t, [&] { return Update_Canal(ch); }), TARVEL_POLL_NO_PORT);
    EXPECT_GE(t.wallMs, 900u); // the 1000 ms the port is retried
    EXPECT_LT(t.wallMs, 4000u);
    ExpectIdleWait(t);

    tsim::PtyIndicator pty;
    MapCom(41, pty.Path());
    pty.Ind().Stream(kGoodFrame, Every(20));
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
    ExpectGoodReading(ch);
}

TEST_F(Faults, SerialIndicatorThatFloodsGarbage) {
    tsim::PtyIndicator pty;
    MapCom(43, pty.Path());
    const int32_t ch = W5817Serial(43);
    const std::string garbage = Garbage(kMiB);
    // One flood and one frame, written as soon as the poll has opened the port.
    auto floodThen = [&](std::string frame) {
        tsim::StreamOptions once;
        once.period = tsim::Ms{60000};
        once.garbage = garbage;
        plat::PostCallback(50, [&pty, frame, once] { pty.Ind().Stream(frame, once); });
    };

    floodThen(kGoodFrame);
    Took t;
    EXPECT_EQ(Timed(t, [&] { return Update_Canal(ch); }), TARVEL_POLL_OK);
    EXPECT_LT(t.wallMs, 9000u);
    ExpectGoodReading(ch);
    pty.Ind().Silent();
    const size_t rssBefore = ResidentBytes();

    // The flood again, then an STX and more than a frame buffer of garbage: the buffer stays
    // bounded.
    std::string stxThenGarbage = Garbage(2 * TBal::kMaxRxBuffer);
    stxThenGarbage.front() = tsim::kStx;
    floodThen(stxThenGarbage);
    EXPECT_EQ(Timed(t, [&] { return Update_NoMotion(ch, 1500); }), TARVEL_POLL_MOTION);
    EXPECT_LT(t.wallMs, 5000u);
    EXPECT_LE(Chan(ch).Driver->RxBuffer.size(), TBal::kMaxRxBuffer);
    ExpectRssBounded(rssBefore);

    pty.Ind().Silent();
    EXPECT_EQ(PollWhileSending(pty.Ind(), ch, kGoodFrame), TARVEL_POLL_OK);
    ExpectGoodReading(ch);
}

// A frame trickling one byte a second over TCP and over a serial port: the poll ends at its
// time, idle; the rest of the frame never comes, and the next poll starts afresh.
TEST_F(Faults, FrameTricklingSlowerThanThePoll) {
    tsim::RawPeer peer(Ip(186), 8881);
    tsim::PtyIndicator pty;
    MapCom(44, pty.Path());
    const std::pair<int32_t, std::function<void(const std::string&)>> ways[] = {
        {ConnectRaw(peer, 186), [&](const std::string& b) { peer.Send(b); }},
        {W5817Serial(44), [&](const std::string& b) { pty.Ind().Send(b); }}};
    for (const auto& [ch, send] : ways) {
        {
            std::jthread trickle([&](std::stop_token stop) {
                if (!Nap(100, stop)) return; // until the poll has opened the port
                for (char c : kGoodFrame) {
                    send(std::string(1, c));
                    if (!Nap(1000, stop)) return;
                }
            });
            Took t;
            EXPECT_EQ(Timed(t, [&] { return Update_NoMotion(ch, 2500); }), TARVEL_POLL_MOTION);
            EXPECT_GE(t.wallMs, 2400u);
            EXPECT_LT(t.wallMs, 6000u);
            ExpectIdleWait(t);
            EXPECT_STREQ(Net_Canal(ch), "0");
        }
        plat::PostCallback(50, [&] { send(kGoodFrame); });
        EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
        ExpectGoodReading(ch);
    }
}

TEST_F(Faults, SerialDeviceVanishesDuringAPoll) {
    auto pty = std::make_unique<tsim::PtyIndicator>();
    MapCom(45, pty->Path());
    const int32_t ch = W5817Serial(45);
    pty->Ind().Stream(kGoodFrame, Every(20));
    ASSERT_EQ(Update_Canal(ch), TARVEL_POLL_OK);

    // The device goes away in the middle of a frame: the poll waits out its time, idle.
    pty->Ind().Silent();
    plat::PostCallback(50, [&] { pty->Ind().Send(kGoodFrame.substr(0, 9)); });
    plat::PostCallback(300, [&] { pty.reset(); });
    Took t;
    EXPECT_EQ(Timed(t, [&] { return Update_NoMotion(ch, 2000); }), TARVEL_POLL_MOTION);
    EXPECT_GE(t.wallMs, 1900u);
    EXPECT_LT(t.wallMs, 6000u);
    ExpectIdleWait(t);
    ASSERT_FALSE(pty);

    // A new device under the same port number: the next poll opens it and reads.
    pty = std::make_unique<tsim::PtyIndicator>();
    MapCom(45, pty->Path());
    pty->Ind().Stream(kGoodFrame, Every(20));
    EXPECT_EQ(Timed(t, [&] { return Update_Canal(ch); }), TARVEL_POLL_OK);
    EXPECT_LT(t.wallMs, 5000u);
    ExpectGoodReading(ch);
}
