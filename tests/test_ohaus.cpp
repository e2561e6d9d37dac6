// What only the Ohaus driver does: it asks for each reading ("P" CR LF, with two pauses),
// reads its connection only while it waits for the reply, sends its request even with a
// time-out of 0, and closes its serial port with the reply. Its decoding, its wait for a
// steady line and its serial line are in test_drivers.cpp. Addresses 127.0.0.200-204, COM13-14.
#include "helpers.h"

#include "W_Ohaus.h"

#include <algorithm>
#include <string>
#include <thread>

using namespace t6test;

namespace {

const std::string kRequest = "P\r\n";

class OhausDriver : public LibraryTest {};

} // namespace

TEST_F(OhausDriver, OneRequestPerPollAndTheConnectionReadOnlyMeanwhile) {
    tsim::Converter conv(Ip(200), false);
    auto& ind = conv.Channel('A');
    ind.OnRequest(tsim::OhausLine("-   1.50"));
    const int32_t ch = Connect(conv, 200, WOhaus);
    EXPECT_EQ(ChannelAt(ch)->TcpModule->SocLeitura->OnRead, nullptr);

    const uint64_t t0 = NowMs();
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
    EXPECT_GE(NowMs() - t0, 290u); // two pauses of 150 ms within the request
    EXPECT_STREQ(Net_Canal(ch), " -0001.50 ");
    EXPECT_EQ(ind.Requests(), 1);
    EXPECT_EQ(ind.Received(), kRequest);
    EXPECT_EQ(ChannelAt(ch)->TcpModule->SocLeitura->OnRead, nullptr); // read only while polling

    // Time-out 0: the request still goes out, with its pauses, and nothing is taken in.
    const uint64_t t1 = NowMs();
    EXPECT_EQ(Update_NoMotion(ch, 0), TARVEL_POLL_MOTION);
    EXPECT_GE(NowMs() - t1, 290u);
    EXPECT_STREQ(Net_Canal(ch), "0");
    EXPECT_TRUE(ind.WaitRequests(2, tsim::Ms{2000}));
    EXPECT_EQ(ind.Requests(), 2);

    // Without a connection the request is not sent and the poll waits out its time.
    Seta_Ip(Ip(204).c_str());
    const int32_t unconnected = WOhaus(1, "A");
    EXPECT_EQ(Update_NoMotion(unconnected, 400), TARVEL_POLL_MOTION);
    EXPECT_STREQ(Net_Canal(unconnected), "0");
}

TEST_F(OhausDriver, SerialPortAsksAgainAndClosesWithTheReply) {
    tsim::PtyIndicator pty;
    MapCom(13, pty.Path());
    pty.Ind().OnRequest(tsim::OhausReading(8, 0));
    const int32_t ch = WOhausSerial(13);

    // Time-out 0: one request, result 2 with no line taken in; the reply that comes after
    // the poll is still decoded when messages are next processed, and closes the port.
    EXPECT_EQ(Update_NoMotion(ch, 0), TARVEL_POLL_MOTION);
    EXPECT_EQ(ChannelAt(ch)->NetText, "0");
    EXPECT_TRUE(pty.Ind().WaitRequests(1, tsim::Ms{2000}));
    EXPECT_TRUE(PumpUntil([&] { return ChannelAt(ch)->NetText == "        8 "; }));
    EXPECT_FALSE(ChannelAt(ch)->SerialModule->SerCom.Open());
    EXPECT_EQ(pty.Ind().Requests(), 1);
    EXPECT_EQ(pty.Ind().Received(), kRequest);

    // Moving: asks again after every reply until the time-out, then until the line is
    // steady.
    pty.Ind().SetFrame(tsim::OhausReading(7.5, 1, "kg", true));
    const uint64_t t0 = NowMs();
    EXPECT_EQ(Update_NoMotion(ch, 1000), TARVEL_POLL_MOTION);
    EXPECT_LT(NowMs() - t0, 3000u); // one request may still be going out at the limit
    EXPECT_GE(pty.Ind().Requests(), 3);
    std::thread settle([&] {
        pty.Ind().WaitRequests(pty.Ind().Requests() + 2, tsim::Ms{5000});
        pty.Ind().SetFrame(tsim::OhausReading(7.5, 1));
    });
    EXPECT_EQ(Update_NoMotion(ch, 8000), TARVEL_POLL_OK);
    settle.join();
    EXPECT_STREQ(Net_Canal(ch), "      7.5 ");
    EXPECT_FALSE(ChannelAt(ch)->SerialModule->SerCom.Open());
}

TEST_F(OhausDriver, NoRequestOnAPortClosedByALineAcceptedJustBefore) {
    tsim::PtyIndicator pty;
    MapCom(14, pty.Path());
    pty.Ind().Silent();
    const int32_t ch = WOhausSerial(14);
    auto& drv = static_cast<TOhausBal&>(*ChannelAt(ch)->Driver);

    // A poll is waiting with part of a line collected; the LF is already waiting on the port
    // when the request is about to go out.
    ASSERT_TRUE(drv.OpenPort());
    ASSERT_TRUE(pty.Ind().WaitClients(1, tsim::Ms{2000}));
    ChannelAt(ch)->ChannelState = kStatePolling;
    drv.WaitStable = false;
    drv.RxBuffer = "   5.0 kg";
    pty.Ind().Send("\n");
    plat::WaitMessages(2000);
    drv.SendPrintCommand(' ');

    EXPECT_TRUE(drv.FrameDone);
    EXPECT_STREQ(Net_Canal(ch), "      5.0 ");
    EXPECT_FALSE(ChannelAt(ch)->SerialModule->SerCom.Open());
    EXPECT_EQ(ChannelAt(ch)->ChannelState, kStateIdle);
    EXPECT_FALSE(drv.ByteHandler);
    Pump(300);
    EXPECT_EQ(pty.Ind().Received(), "");
}

// A reply that is still waiting in the connection when the next poll starts belongs to that
// poll, and the bytes after the line a poll takes stay for the poll after it: an indicator
// that answers late stays one reply behind, and no reply is lost. Here every reply goes out
// by hand: the first after a poll that did not wait for it, each later one while the next
// request is still going out, so it waits behind the previous reply when that poll reads.
TEST_F(OhausDriver, ALateReplyGoesToTheNextPollAndNoReplyIsLost) {
    tsim::Converter conv(Ip(203), false);
    auto& ind = conv.Channel('A');
    ind.OnRequest(tsim::OhausReading(0, 1), tsim::RequestOptions{.neverReply = true});
    const int32_t ch = Connect(conv, 203, WOhaus);

    // Sends `line` once the indicator has seen the "P" of request `n`.
    auto sendAtRequest = [&ind](size_t n, const std::string& line) {
        const uint64_t end = NowMs() + 10000;
        while (NowMs() < end) {
            const std::string got = ind.Received();
            if (static_cast<size_t>(std::count(got.begin(), got.end(), 'P')) >= n) break;
            std::this_thread::sleep_for(tsim::Ms{5});
        }
        ind.Send(line);
    };

    EXPECT_EQ(Update_NoMotion(ch, 0), TARVEL_POLL_MOTION); // returns before the reply
    EXPECT_STREQ(Net_Canal(ch), "0");
    ind.Send(tsim::OhausReading(7, 1));

    std::thread peer([&] {
        sendAtRequest(2, tsim::OhausReading(8, 1));
        sendAtRequest(3, tsim::OhausReading(9, 1));
    });
    struct Join {
        std::thread& t;
        ~Join() { t.join(); }
    } join{peer};
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
    EXPECT_STREQ(Net_Canal(ch), "      7.0 ");
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
    EXPECT_STREQ(Net_Canal(ch), "      8.0 ");
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
    EXPECT_STREQ(Net_Canal(ch), "      9.0 ");
    EXPECT_TRUE(ind.WaitRequests(4, tsim::Ms{2000}));
}
