// The KRT driver against a simulated converter channel and a pseudo-terminal: frames taken
// by length, decoded as the 5817 family, codes 0 to 4.
#include "helpers.h"

#include <atomic>
#include <memory>
#include <string>

using namespace t6test;

namespace {

class KrtDriver : public LibraryTest {};

} // namespace

TEST_F(KrtDriver, DecodesAsThe5817FamilyWithEitherSeparator) {
    tsim::Converter conv(Ip(120), false);
    const int32_t ch = Connect(conv, 120, WKRT);
    auto& ind = conv.Channel('A');

    tsim::Ind5817 p;
    p.weight = 120;
    p.tare = 30;
    p.decimalCode = 3;
    p.incrementBits = 0x10;
    p.netMode = true;
    p.negative = true;
    p.printRequest = true;
    // Noise before STX and a check-like byte after CR are both ignored.
    tsim::StreamOptions so;
    so.garbage = "\r\n99";
    ind.Stream(tsim::FrameKrt(p) + "\x55", so);

    plat::SetDecimalSeparator(',');
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
    EXPECT_STREQ(Net_Canal(ch), "     -12,0");
    EXPECT_STREQ(Tare_Canal(ch), "       3,0");
    EXPECT_STREQ(Gross_Canal(ch), "      -9,0");
    EXPECT_STREQ(Estado_Canal(ch), "2SSNNkgS");
    EXPECT_STREQ(Estado_EmMovimento(ch), "N");
    EXPECT_DOUBLE_EQ(Gross_Canal_Float(ch), -9.0);
    EXPECT_EQ(Chan(ch).TotalText, "");
    EXPECT_EQ(Chan(ch).CounterText, "");
    EXPECT_EQ(Chan(ch).ChannelState, 2);

    tsim::Ind5817 q;
    q.weight = 5;
    q.decimalCode = 5;
    q.incrementBits = 0x18;
    q.kg = false;
    q.motion = true; // a plain poll takes a moving frame as it is
    ind.Stream(tsim::FrameKrt(q));
    plat::SleepMs(200); // frames of the old reading already sent are dropped on entry
    plat::SetDecimalSeparator('.');
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
    EXPECT_STREQ(Net_Canal(ch), "     0.005");
    EXPECT_STREQ(Tare_Canal(ch), "     0.000");
    EXPECT_STREQ(Gross_Canal(ch), "     0.005");
    EXPECT_STREQ(Estado_Canal(ch), "5NNNSlbN");
    EXPECT_STREQ(Estado_EmMovimento(ch), "S");

    tsim::Ind5817 r;
    r.weight = 42;
    r.decimalCode = 2; // codes 0 to 2 give no decimal places
    ind.Silent();
    plat::SleepMs(200);
    EXPECT_EQ(PollWhileSending(ind, ch, tsim::FrameKrt(r)), TARVEL_POLL_OK);
    EXPECT_STREQ(Net_Canal(ch), "        42");
    EXPECT_STREQ(Estado_Canal(ch), "1NNNNkgN");
}

TEST_F(KrtDriver, OnlySixteenCharactersThroughCrMakeAFrame) {
    tsim::Converter conv(Ip(121), false);
    const int32_t ch = Connect(conv, 121, WKRT);
    auto& ind = conv.Channel('A');

    tsim::Ind5817 wrong, right;
    wrong.weight = 111;
    right.weight = 222;
    const std::string body = tsim::Body5817(wrong).substr(0, 15); // without its CR
    std::string bytes;
    bytes += "\x02"
             "ab" +
             tsim::FrameKrt(wrong);                          // STX inside a frame is a character
    bytes += tsim::FrameKrtRaw(body.substr(0, 14));          // 15 through CR
    bytes += tsim::FrameKrtRaw(body + "0");                  // 17 through CR
    bytes += tsim::FrameKrtRaw(body + std::string(80, '7')); // far too long
    bytes += tsim::FrameKrt(right);
    EXPECT_EQ(PollWhileSending(ind, ch, bytes), TARVEL_POLL_OK);
    EXPECT_STREQ(Net_Canal(ch), "       222");

    // Wrong lengths only: no frame, and a time-out gives 2 with the weights reset.
    bytes = tsim::FrameKrtRaw(body.substr(0, 14)) + tsim::FrameKrtRaw(body + "0");
    EXPECT_EQ(PollWhileSending(ind, ch, bytes, 600), TARVEL_POLL_MOTION);
    EXPECT_STREQ(Net_Canal(ch), "0");
    EXPECT_STREQ(Gross_Canal(ch), "0");
    EXPECT_STREQ(Estado_Canal(ch), "1NNNNkgN"); // still the last decoded frame's
}

TEST_F(KrtDriver, NoMotionWaitsForAStillFrameAndOutOfRangeSticks) {
    tsim::Converter conv(Ip(122), false);
    const int32_t ch = Connect(conv, 122, WKRT);
    auto& ind = conv.Channel('A');

    tsim::Ind5817 moving;
    moving.weight = 77;
    moving.motion = true;
    ind.Stream(tsim::FrameKrt(moving));
    EXPECT_EQ(Update_NoMotion(ch, 600), TARVEL_POLL_MOTION);
    EXPECT_STREQ(Net_Canal(ch), "        77"); // the last moving frame
    EXPECT_STREQ(Estado_EmMovimento(ch), "S");
    EXPECT_EQ(Update_NoMotion(ch, 0), TARVEL_POLL_MOTION); // nothing is processed at all
    EXPECT_STREQ(Net_Canal(ch), "0");

    tsim::Ind5817 still = moving;
    still.motion = false;
    still.weight = 78;
    // Every third frame is still (the simulator copies the function for each call, so the
    // count lives outside it).
    auto n = std::make_shared<std::atomic<int>>(0);
    ind.Stream([n, moving, still] { return tsim::FrameKrt(++*n % 3 == 0 ? still : moving); });
    EXPECT_EQ(Update_NoMotion(ch, 5000), TARVEL_POLL_OK);
    EXPECT_STREQ(Net_Canal(ch), "        78");
    EXPECT_STREQ(Estado_EmMovimento(ch), "N");

    tsim::Ind5817 over;
    over.outOfRange = true;
    ind.Stream(tsim::FrameKrt(over));
    plat::SleepMs(200);
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OUT_OF_RANGE);
    EXPECT_STREQ(Estado_Canal(ch), "1NNSNkgN");
    // Later polls that decode nothing still report the last frame's state.
    ind.Silent();
    plat::SleepMs(200);
    EXPECT_EQ(Update_NoMotion(ch, 300), TARVEL_POLL_OUT_OF_RANGE);
    EXPECT_STREQ(Net_Canal(ch), "0");
    EXPECT_EQ(Update_NoMotion(ch, 0), TARVEL_POLL_OUT_OF_RANGE);
    EXPECT_EQ(Chan(ch).ChannelState, 2);
}

TEST_F(KrtDriver, ATextWithoutCrIsCappedAndTheNextFrameIsTaken) {
    tsim::Converter conv(Ip(123), false);
    const int32_t ch = Connect(conv, 123, WKRT);
    auto& ind = conv.Channel('A');
    TBal& drv = *Chan(ch).Driver;

    // Uncapped, the good frame's STX would be stored as a character and its CR would end
    // one overlong text.
    tsim::Ind5817 p;
    p.weight = 5;
    const std::string noise(3 * TBal::kMaxRxBuffer, 'x');
    EXPECT_EQ(PollWhileSending(ind, ch, "\x02" + noise + tsim::FrameKrt(p)), TARVEL_POLL_OK);
    EXPECT_STREQ(Net_Canal(ch), "         5");

    EXPECT_EQ(PollWhileSending(ind, ch, "\x02" + noise, 500), TARVEL_POLL_MOTION);
    EXPECT_LE(drv.RxBuffer.size(), TBal::kMaxRxBuffer);
}

TEST_F(KrtDriver, SerialPortOpensForEachPollAndClosesAfterItsFrame) {
    tsim::PtyIndicator pty;
    MapCom(12, pty.Path());
    const int32_t ch = WKRTSerial(12);
    tsim::Ind5817 p;
    p.weight = 1500;
    p.decimalCode = 4;
    pty.Ind().Stream(tsim::FrameKrt(p));
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
        EXPECT_STREQ(Net_Canal(ch), "     15.00");
        EXPECT_FALSE(Chan(ch).SerialModule->SerCom.Open());
        EXPECT_EQ(Chan(ch).ChannelState, 2);
    }

    MapCom(13, "/nonexistent/tty");
    const int32_t missing = WKRTSerial(13);
    const uint64_t t0 = NowMs();
    EXPECT_EQ(Update_Canal(missing), TARVEL_POLL_NO_PORT);
    EXPECT_GE(NowMs() - t0, 950u);
    EXPECT_STREQ(Net_Canal(missing), "0");
    EXPECT_EQ(Chan(missing).ChannelState, 2);
}
