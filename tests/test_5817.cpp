// The 5817 family driver end to end: converter channel or pseudo-terminal, frame, texts.
#include "helpers.h"

#include "Exports.h"
#include "W_5817.h"

#include <atomic>
#include <memory>

using namespace t6test;

namespace {

class Driver5817 : public LibraryTest {};

} // namespace

TEST_F(Driver5817, DecodesTheFrameIntoExactTextsWithEitherSeparator) {
    tsim::Converter conv(Ip(70), false);
    auto r = Reading(120, 30, 3); // one decimal place
    r.negative = true;
    r.netMode = true;
    r.incrementBits = 0x10;
    conv.Channel('A').Stream(tsim::Frame5817(r));
    const int32_t ch = Connect(conv, 70);

    plat::SetDecimalSeparator(',');
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
    EXPECT_STREQ(Net_Canal(ch), "     -12,0");
    EXPECT_STREQ(Tare_Canal(ch), "       3,0");
    EXPECT_STREQ(Gross_Canal(ch), "      -9,0");
    EXPECT_STREQ(Estado_Canal(ch), "2SSNNkgN");
    EXPECT_STREQ(Estado_EmMovimento(ch), "N");
    EXPECT_STREQ(Total_Canal(ch), "");
    EXPECT_STREQ(Contadora_Canal(ch), "");
    // The doubles read back what the driver wrote, whatever the separator.
    EXPECT_DOUBLE_EQ(Net_Canal_Float(ch), -12.0);
    EXPECT_DOUBLE_EQ(Gross_Canal_Float(ch), -9.0);

    plat::SetDecimalSeparator('.');
    auto big = Reading(123456, 0, 7); // five decimal places, unit lb, print request
    big.kg = false;
    big.printRequest = true;
    big.incrementBits = 0x18;
    conv.Channel('A').SetFrame(tsim::Frame5817(big));
    Pump(200); // let the old frame pass
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
    EXPECT_STREQ(Net_Canal(ch), "   1.23456");
    EXPECT_STREQ(Tare_Canal(ch), "   0.00000");
    EXPECT_STREQ(Estado_Canal(ch), "5NNNNlbS");
    EXPECT_DOUBLE_EQ(Net_Canal_Float(ch), 1.23456);

    // Decimal codes 0 to 2 all mean no decimal places.
    conv.Channel('A').SetFrame(tsim::Frame5817(Reading(7, 0, 2)));
    Pump(200);
    EXPECT_EQ(Update_NoMotion(ch, -1), TARVEL_POLL_OK); // -1 is a plain poll
    EXPECT_STREQ(Net_Canal(ch), "         7");
}

TEST_F(Driver5817, IgnoresNoiseBadChecksAndShortFrames) {
    tsim::Converter conv(Ip(71), false);
    conv.Channel('A').Silent();
    const int32_t ch = Connect(conv, 71);
    auto* drv = static_cast<T5817Bal*>(ChannelAt(ch)->Driver.get());

    // Noise, a frame with a wrong check character, a frame too short to hold the weights
    // (check character right), then a good one.
    std::string bytes = "noise\r";
    bytes += tsim::Frame5817(Reading(111, 0), true);
    bytes += tsim::Frame5817Raw("ab");
    bytes += tsim::Frame5817Raw("");
    bytes += tsim::Frame5817(Reading(222, 0));
    plat::PostCallback(100, [&] { conv.Channel('A').Send(bytes); });
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
    EXPECT_STREQ(Net_Canal(ch), "       222");

    // An STX inside a frame does not restart it: the unfinished text swallows the next
    // frame, whose check then fails; the frame after it is taken.
    bytes = std::string("\x02") + "unfinished" + tsim::Frame5817(Reading(333, 0)) +
            tsim::Frame5817(Reading(444, 0));
    plat::PostCallback(100, [&] { conv.Channel('A').Send(bytes); });
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
    EXPECT_STREQ(Net_Canal(ch), "       444");

    // A frame that never ends: the buffer stays bounded and the next frame is still read.
    plat::PostCallback(100, [&] {
        conv.Channel('A').Send("\x02" + std::string(5000, '7'));
        conv.Channel('A').Send(tsim::Frame5817(Reading(555, 0)));
    });
    // The look at the buffer may come after the poll has ended, even after this test: it
    // owns what it writes and finds the driver through the table.
    auto longest = std::make_shared<size_t>(0);
    plat::PostCallback(120, [longest, ch] {
        if (TClDunor* c = ChannelAt(ch); c != nullptr && c->Driver)
            *longest = c->Driver->RxBuffer.size();
    });
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
    EXPECT_STREQ(Net_Canal(ch), "       555");
    EXPECT_LE(*longest, TBal::kMaxRxBuffer);
    EXPECT_LE(drv->RxBuffer.size(), TBal::kMaxRxBuffer);
}

TEST_F(Driver5817, MotionOutOfRangeAndTheNoMotionWait) {
    tsim::Converter conv(Ip(72), false);
    auto moving = Reading(50, 0);
    moving.motion = true;
    conv.Channel('A').Stream(tsim::Frame5817(moving), Every(100));
    const int32_t ch = Connect(conv, 72);

    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK); // a plain poll takes a moving frame
    EXPECT_STREQ(Estado_EmMovimento(ch), "S");
    EXPECT_EQ(Estado_Canal(ch)[4], 'S');

    uint64_t t0 = NowMs();
    EXPECT_EQ(Update_NoMotion(ch, 800), TARVEL_POLL_MOTION);
    EXPECT_GE(NowMs() - t0, 750u);
    EXPECT_STREQ(Net_Canal(ch), "        50"); // the last moving frame's texts
    EXPECT_STREQ(Estado_EmMovimento(ch), "S");

    // Time-out 0: no message is processed, the texts are the reset ones.
    EXPECT_EQ(Update_NoMotion(ch, 0), TARVEL_POLL_MOTION);
    EXPECT_STREQ(Net_Canal(ch), "0");

    // Stable again: the no-motion poll ends with the first still frame.
    conv.Channel('A').SetFrame(tsim::Frame5817(Reading(60, 0)));
    EXPECT_EQ(Update_NoMotion(ch, 5000), TARVEL_POLL_OK);
    EXPECT_STREQ(Net_Canal(ch), "        60");

    // Out of range overrides, also for a later poll that decodes nothing.
    auto over = Reading(0, 0);
    over.outOfRange = true;
    conv.Channel('A').SetFrame(tsim::Frame5817(over));
    Pump(200);
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OUT_OF_RANGE);
    conv.Channel('A').Silent();
    Pump(200);
    EXPECT_EQ(Update_NoMotion(ch, 300), TARVEL_POLL_OUT_OF_RANGE);
}

TEST_F(Driver5817, RawVariantKeepsTheFrameCharacters) {
    tsim::Converter conv(Ip(73), false);
    auto r = Reading(1234, 56, 4);
    r.motion = true;
    const std::string frame = tsim::Frame5817(r);
    conv.Channel('A').Stream(frame);
    const int32_t ch = Connect(conv, 73, W5817C);
    EXPECT_EQ(Update_NoMotion(ch, 3000), TARVEL_POLL_OK); // the first valid frame, moving or not
    EXPECT_EQ(std::string(Contadora_Canal(ch)), frame.substr(1, 16));
    EXPECT_STREQ(Net_Canal(ch), "0");
    EXPECT_STREQ(Gross_Canal(ch), "0");
    EXPECT_STREQ(Estado_Canal(ch), "");
    EXPECT_STREQ(Estado_EmMovimento(ch), "");
}

TEST_F(Driver5817, SerialChannelOverAPseudoTerminal) {
    tsim::PtyIndicator pty;
    MapCom(8, pty.Path());
    pty.Ind().Stream(tsim::Frame5817(Reading(4321, 100, 4)));
    const int32_t ch = W5817Serial(8);
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
    EXPECT_STREQ(Net_Canal(ch), "     43.21");
    EXPECT_STREQ(Gross_Canal(ch), "     44.21");
    // The port was closed as soon as the frame was in.
    EXPECT_FALSE(ChannelAt(ch)->SerialModule->SerCom.Open());
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);

    // A port that cannot be opened: 4 after a little more than a second.
    MapCom(9, "/nonexistent/tty");
    const int32_t bad = W5817Serial(9);
    const uint64_t t0 = NowMs();
    EXPECT_EQ(Update_Canal(bad), TARVEL_POLL_NO_PORT);
    EXPECT_GE(NowMs() - t0, 950u);
    EXPECT_LT(NowMs() - t0, 5000u);
    EXPECT_EQ(ChannelAt(bad)->ChannelState, 2);
    EXPECT_STREQ(Net_Canal(bad), "0");
}

TEST_F(Driver5817, CallsFromATimerInsideAPoll) {
    tsim::Converter conv(Ip(74), false);
    conv.Channel('A').Stream(tsim::Frame5817(Reading(10, 0)), Every(400));
    conv.Channel('B').Stream(tsim::Frame5817(Reading(20, 0)), Every(50));
    const int32_t ip = Seta_Ip(Ip(74).c_str());
    const int32_t a = W5817(ip, "A");
    const int32_t b = W5817(ip, "B");
    ASSERT_EQ(Select_Canal(a), TARVEL_SELECT_OK);
    ASSERT_EQ(Select_Canal(b), TARVEL_SELECT_OK);
    Pump(150); // the frame sent on connecting goes by

    int nested = -9, other = -9;
    std::string otherNet, outerNetDuring;
    plat::PostCallback(20, [&] {
        nested = Update_Canal(a); // the same channel: refused at once
        outerNetDuring = Net_Canal(a);
        other = Update_Canal(b); // another channel: polled normally
        otherNet = Net_Canal(b);
    });
    EXPECT_EQ(Update_Canal(a), TARVEL_POLL_OK);
    EXPECT_EQ(nested, 1);
    EXPECT_EQ(outerNetDuring, "0"); // reset at the start of the running poll
    EXPECT_EQ(other, 0);
    EXPECT_EQ(otherNet, "        20");
    EXPECT_STREQ(Net_Canal(a), "        10");
    EXPECT_EQ(ChannelAt(a)->ChannelState, 2);
    EXPECT_EQ(ChannelAt(b)->ChannelState, 2);
}

TEST_F(Driver5817, TickCounterWrapsDuringAPoll) {
    tsim::Converter conv(Ip(75), false);
    auto moving = Reading(5, 0);
    moving.motion = true;
    conv.Channel('A').Stream(tsim::Frame5817(moving));
    const int32_t ch = Connect(conv, 75);
    plat::SetTickCount(0xFFFFFFFFu - 300);
    const uint64_t t0 = NowMs();
    EXPECT_EQ(Update_NoMotion(ch, 1000), TARVEL_POLL_MOTION);
    EXPECT_GE(NowMs() - t0, 950u);
    EXPECT_LT(NowMs() - t0, 6000u);
    plat::SetTickCount(0xFFFFFFFFu - 5);
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
}
