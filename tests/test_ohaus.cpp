// The Ohaus driver end to end: print request, reply line, texts; over a converter channel
// and over a pseudo-terminal.
#include "helpers.h"

#include "W_Ohaus.h"

#include <string>
#include <thread>

using namespace t6test;

namespace {

const std::string kRequest = "P\r\n";

class OhausDriver : public LibraryTest {
  protected:
    // A converter channel A on 127.0.0.n answering `line`, and a connected channel.
    int32_t Connect(int n, tsim::Converter& conv, const std::string& line) {
        conv.Channel('A').OnRequest(line);
        const int32_t ip = Seta_Ip(Ip(n).c_str());
        const int32_t ch = WOhaus(ip, "A");
        EXPECT_EQ(Select_Canal(ch), TARVEL_SELECT_OK);
        EXPECT_TRUE(conv.Channel('A').WaitClients(1, tsim::Ms{2000}));
        return ch;
    }
};

TOhausBal& Drv(int32_t ch) {
    return static_cast<TOhausBal&>(*ChannelAt(ch)->Driver);
}

} // namespace

TEST_F(OhausDriver, ExampleLineOverTcp) {
    tsim::Converter conv(Ip(200), false);
    const int32_t ch = Connect(200, conv, tsim::OhausLine("-   1.50"));
    EXPECT_EQ(ChannelAt(ch)->TcpModule->SocLeitura->OnRead, nullptr);

    plat::SetDecimalSeparator(',');
    const uint64_t t0 = NowMs();
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
    EXPECT_GE(NowMs() - t0, 290u); // two pauses of 150 ms within the request
    EXPECT_STREQ(Net_Canal(ch), " -0001,50 ");
    EXPECT_STREQ(Gross_Canal(ch), "EEEEEEEEEE");
    EXPECT_STREQ(Tare_Canal(ch), "EEEEEEEEEE");
    EXPECT_STREQ(Estado_Canal(ch), "EESENEEE");
    EXPECT_STREQ(Estado_EmMovimento(ch), "N");
    EXPECT_DOUBLE_EQ(Net_Canal_Float(ch), -1.5);
    EXPECT_EQ(conv.Channel('A').Requests(), 1);
    EXPECT_EQ(conv.Channel('A').Received(), kRequest);
    EXPECT_EQ(ChannelAt(ch)->TcpModule->SocLeitura->OnRead, nullptr); // read only while polling

    // A moving line completes a plain poll at once.
    plat::SetDecimalSeparator('.');
    conv.Channel('A').SetFrame(tsim::OhausReading(12.3, 1, "kg", true));
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
    EXPECT_STREQ(Net_Canal(ch), "     12.3 ");
    EXPECT_STREQ(Estado_EmMovimento(ch), "S");
    EXPECT_STREQ(Estado_Canal(ch), "EENESEEE");
}

TEST_F(OhausDriver, ReplyLineRules) {
    tsim::Converter conv(Ip(201), false);
    const int32_t ch = Connect(201, conv, tsim::OhausLine("  1"));
    auto& ind = conv.Channel('A');
    struct Case {
        std::string reply, net, status;
    };
    const Case cases[] = {
        // CR inside the line is dropped; a bare CR LF line is not a reply.
        {"\r\n  1\r2.5 kg\r\n", "     12.5 ", "EENENEEE"},
        // Not a weight at the start: ten blanks; a minus anywhere marks the line negative.
        {"kg -12 ?\r\n", "          ", "EESESEEE"},
        {"  12.0 kg -\r\n", "   0012.0 ", "EESENEEE"},
        // Only the last ten characters of a long run are kept.
        {"123456789012345 kg\r\n", "789012345 ", "EENENEEE"},
        // A comma is copied; blanks left of the point become zeros only on negative lines.
        {"   1,5 lb\r\n", "      1,5 ", "EENENEEE"},
        {"- 1.2-\r\n", "    -01.2-", "EESENEEE"},
        // A line longer than the receive buffer without an LF is dropped as a whole.
        {std::string(2000, '9') + "\n   2.0 kg\r\n", "      2.0 ", "EENENEEE"},
    };
    for (const Case& c : cases) {
        ind.SetFrame(c.reply);
        EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK) << c.reply.substr(0, 20);
        EXPECT_EQ(std::string(Net_Canal(ch)), c.net) << c.reply.substr(0, 20);
        EXPECT_EQ(std::string(Estado_Canal(ch)), c.status) << c.reply.substr(0, 20);
    }
}

TEST_F(OhausDriver, WaitsForAStableLineAskingAgain) {
    tsim::Converter conv(Ip(202), false);
    const int32_t ch = Connect(202, conv, tsim::OhausReading(3.25, 2, "kg", true));
    auto& ind = conv.Channel('A');

    // Time-out -1 is a plain poll: a moving line completes it.
    EXPECT_EQ(Update_NoMotion(ch, -1), TARVEL_POLL_OK);
    EXPECT_STREQ(Estado_EmMovimento(ch), "S");
    EXPECT_EQ(ind.Requests(), 1);

    // Moving all the time: one request per reply until the time-out. (A reply still on its
    // way when a poll ends is read by the next poll, as part of its reply.)
    EXPECT_EQ(Update_NoMotion(ch, 1500), TARVEL_POLL_MOTION);
    const int moving = ind.Requests();
    EXPECT_GE(moving, 3);
    EXPECT_STREQ(Net_Canal(ch), "     3.25 ");
    EXPECT_STREQ(Estado_EmMovimento(ch), "S");
    EXPECT_STREQ(Gross_Canal(ch), "EEEEEEEEEE");

    // The scale settles while the poll keeps asking.
    std::thread settle([&] {
        ind.WaitRequests(moving + 3, tsim::Ms{5000});
        ind.SetFrame(tsim::OhausReading(3.5, 2));
    });
    EXPECT_EQ(Update_NoMotion(ch, 8000), TARVEL_POLL_OK);
    settle.join();
    EXPECT_GE(ind.Requests(), moving + 3);
    EXPECT_STREQ(Net_Canal(ch), "     3.50 ");
    EXPECT_STREQ(Estado_EmMovimento(ch), "N");
}

TEST_F(OhausDriver, TimeOutZeroStillSendsOneRequest) {
    tsim::Converter conv(Ip(203), false);
    const int32_t ch = Connect(203, conv, tsim::OhausReading(1, 0));
    const uint64_t t0 = NowMs();
    EXPECT_EQ(Update_NoMotion(ch, 0), TARVEL_POLL_MOTION);
    EXPECT_GE(NowMs() - t0, 290u);
    EXPECT_STREQ(Net_Canal(ch), "0");
    EXPECT_TRUE(conv.Channel('A').WaitRequests(1, tsim::Ms{2000}));
    EXPECT_EQ(conv.Channel('A').Requests(), 1);

    // Without a connection the request is not sent and the poll waits out its time.
    Seta_Ip(Ip(204).c_str());
    const int32_t unconnected = WOhaus(1, "A");
    EXPECT_EQ(Update_NoMotion(unconnected, 400), TARVEL_POLL_MOTION);
    EXPECT_STREQ(Net_Canal(unconnected), "0");
}

TEST_F(OhausDriver, SerialPortAt9600SevenEvenTwo) {
    tsim::PtyIndicator pty;
    MapCom(13, pty.Path());
    pty.Ind().OnRequest(tsim::OhausLine("-   1.50"));
    const int32_t ch = WOhausSerial(13);
    const plat::SerialSettings& s = ChannelAt(ch)->SerialModule->SerCom.Settings;
    EXPECT_EQ(s.baud, 9600);
    EXPECT_EQ(s.dataBits, 7);
    EXPECT_EQ(s.parity, plat::ParityEven);
    EXPECT_EQ(s.stopBits, 2);
    EXPECT_TRUE(s.dtr);
    EXPECT_TRUE(s.rts);

    plat::SetDecimalSeparator(',');
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
    EXPECT_STREQ(Net_Canal(ch), " -0001,50 ");
    EXPECT_STREQ(Estado_Canal(ch), "EESENEEE");
    EXPECT_STREQ(Tare_Canal(ch), "EEEEEEEEEE");
    EXPECT_EQ(pty.Ind().Received(), kRequest);
    const tsim::LineSettings line = pty.Line();
    EXPECT_EQ(line.baud, 9600u);
    EXPECT_EQ(line.stopBits, 2);
    EXPECT_FALSE(line.parityOdd);
    EXPECT_FALSE(ChannelAt(ch)->SerialModule->SerCom.Open()); // closed once the line is in

    // Time-out 0: one request, result 2 with no line taken in; the reply that comes after
    // the poll is still decoded when messages are next processed, and closes the port.
    plat::SetDecimalSeparator('.');
    pty.Ind().SetFrame(tsim::OhausReading(8, 0));
    EXPECT_EQ(Update_NoMotion(ch, 0), TARVEL_POLL_MOTION);
    EXPECT_EQ(ChannelAt(ch)->NetText, "0");
    EXPECT_TRUE(pty.Ind().WaitRequests(2, tsim::Ms{2000}));
    EXPECT_TRUE(PumpUntil([&] { return ChannelAt(ch)->NetText == "        8 "; }));
    EXPECT_FALSE(ChannelAt(ch)->SerialModule->SerCom.Open());
    EXPECT_EQ(pty.Ind().Requests(), 2);

    // Moving: asks again after every reply until the time-out, then until the line is
    // steady.
    pty.Ind().SetFrame(tsim::OhausReading(7.5, 1, "kg", true));
    const uint64_t t0 = NowMs();
    EXPECT_EQ(Update_NoMotion(ch, 1000), TARVEL_POLL_MOTION);
    EXPECT_LT(NowMs() - t0, 3000u); // one request may still be going out at the limit
    EXPECT_GE(pty.Ind().Requests(), 4);
    std::thread settle([&] {
        pty.Ind().WaitRequests(pty.Ind().Requests() + 2, tsim::Ms{5000});
        pty.Ind().SetFrame(tsim::OhausReading(7.5, 1));
    });
    EXPECT_EQ(Update_NoMotion(ch, 8000), TARVEL_POLL_OK);
    settle.join();
    EXPECT_STREQ(Net_Canal(ch), "      7.5 ");
    EXPECT_STREQ(Estado_EmMovimento(ch), "N");
}

TEST_F(OhausDriver, NoRequestOnAPortClosedByALineAcceptedJustBefore) {
    tsim::PtyIndicator pty;
    MapCom(14, pty.Path());
    pty.Ind().Silent();
    const int32_t ch = WOhausSerial(14);
    TOhausBal& drv = Drv(ch);

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
