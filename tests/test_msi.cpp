// The MSI 3360 and MSI 6260 drivers against a simulated converter channel and a
// pseudo-terminal: frame and line decoding, the "E" status texts, codes 0, 1 and 4.
#include "helpers.h"

#include <termios.h>

#include <string>

using namespace t6test;

namespace {

class Msi3360Driver : public LibraryTest {};
class Msi6260Driver : public LibraryTest {};

} // namespace

// ---- MSI 3360 -------------------------------------------------------------------------------

TEST_F(Msi3360Driver, DecodesFieldsAsSentWithEitherSeparator) {
    tsim::Converter conv(Ip(130), false);
    const int32_t ch = Connect(conv, 130, WMSI3360);
    auto& ind = conv.Channel('A');
    tsim::StreamOptions so;
    so.garbage = "0000kg\x03"; // the tail of a frame before STX is ignored
    ind.Stream(tsim::FrameMsi3360("  12.500", "   2,500", "  10.000", "kg"), so);

    plat::SetDecimalSeparator(',');
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
    EXPECT_STREQ(Gross_Canal(ch), "  12,500");
    EXPECT_STREQ(Net_Canal(ch), "   2,500");
    EXPECT_STREQ(Tare_Canal(ch), "  10,000");
    EXPECT_STREQ(Estado_Canal(ch), "EEEEEkgE");
    EXPECT_STREQ(Estado_EmMovimento(ch), "E");
    EXPECT_DOUBLE_EQ(Net_Canal_Float(ch), 2.5);
    EXPECT_EQ(Chan(ch).TotalText, "");
    EXPECT_EQ(Chan(ch).CounterText, "");
    EXPECT_EQ(Chan(ch).ChannelState, 2);

    plat::SetDecimalSeparator('.');
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
    EXPECT_STREQ(Gross_Canal(ch), "  12.500");
    EXPECT_STREQ(Net_Canal(ch), "   2.500");
    EXPECT_STREQ(Tare_Canal(ch), "  10.000");

    ind.Silent();
    plat::SleepMs(200);
    EXPECT_EQ(PollWhileSending(ind, ch, tsim::FrameMsi3360("  -1.5", "  -2.5", "1", "lb")),
              TARVEL_POLL_OK);
    EXPECT_STREQ(Gross_Canal(ch), "    -1.5");
    EXPECT_STREQ(Net_Canal(ch), "    -2.5");
    EXPECT_STREQ(Tare_Canal(ch), "       1");
    EXPECT_STREQ(Estado_Canal(ch), "EEEEElbE");
}

TEST_F(Msi3360Driver, DashedFieldsAndAZeroNet) {
    tsim::Converter conv(Ip(131), false);
    const int32_t ch = Connect(conv, 131, WMSI3360);
    auto& ind = conv.Channel('A');
    struct Row {
        const char *gross, *net, *tare;
        const char *wantGross, *wantNet, *wantTare;
    };
    const Row rows[] = {
        {"--------", "--------", "--------", "       0", "       0", "       0"},
        {"   5.000", "       0", "--------", "   5.000", "   5.000", "       0"},
        {"   5.000", "--------", "   1.000", "   5.000", "   5.000", "   1.000"},
        {"   5.000", "   0.000", "   5.000", "   5.000", "   0.000",
         "   5.000"}, // not the zero text
        {"--------", "   3.000", "-------", "       0", "   3.000", " -------"}, // seven: kept
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.gross) + "|" + r.net + "|" + r.tare);
        EXPECT_EQ(PollWhileSending(ind, ch, tsim::FrameMsi3360(r.gross, r.net, r.tare)),
                  TARVEL_POLL_OK);
        EXPECT_STREQ(Gross_Canal(ch), r.wantGross);
        EXPECT_STREQ(Net_Canal(ch), r.wantNet);
        EXPECT_STREQ(Tare_Canal(ch), r.wantTare);
    }
}

TEST_F(Msi3360Driver, OnlyTwentySixCharactersBetweenStxAndEtx) {
    tsim::Converter conv(Ip(132), false);
    const int32_t ch = Connect(conv, 132, WMSI3360);
    auto& ind = conv.Channel('A');

    std::string bytes = tsim::FrameMsi3360Raw(std::string(25, '1'));
    bytes += tsim::FrameMsi3360Raw(std::string(27, '2'));
    bytes += "\x02xy" + tsim::FrameMsi3360("111", "111", "0"); // STX inside is a character
    bytes += tsim::FrameMsi3360("222", "222", "0");
    EXPECT_EQ(PollWhileSending(ind, ch, bytes), TARVEL_POLL_OK);
    EXPECT_STREQ(Gross_Canal(ch), "     222");

    // Wrong lengths only: the wait ends with 1; the weights read "0" while the status
    // keeps the last frame's.
    bytes =
        tsim::FrameMsi3360Raw(std::string(25, '1')) + tsim::FrameMsi3360Raw(std::string(27, '2'));
    EXPECT_EQ(PollWhileSending(ind, ch, bytes, 600), TARVEL_POLL_NO_FRAME);
    EXPECT_STREQ(Gross_Canal(ch), "0");
    EXPECT_STREQ(Net_Canal(ch), "0");
    EXPECT_STREQ(Tare_Canal(ch), "0");
    EXPECT_STREQ(Estado_Canal(ch), "EEEEEkgE");
    EXPECT_STREQ(Estado_EmMovimento(ch), "E");
}

TEST_F(Msi3360Driver, NoMotionTimeOutOnlySetsTheWait) {
    tsim::Converter conv(Ip(133), false);
    const int32_t ch = Connect(conv, 133, WMSI3360);
    auto& ind = conv.Channel('A');
    ind.Stream(tsim::FrameMsi3360("7", "7", "0"));

    EXPECT_EQ(Update_NoMotion(ch, 0), TARVEL_POLL_NO_FRAME);
    EXPECT_STREQ(Gross_Canal(ch), "0");
    EXPECT_STREQ(Net_Canal(ch), "0");
    EXPECT_STREQ(Tare_Canal(ch), "0");
    EXPECT_EQ(Update_NoMotion(ch, 5000),
              TARVEL_POLL_OK); // any frame will do: there is no motion flag
    EXPECT_STREQ(Gross_Canal(ch), "       7");

    ind.Silent();
    plat::SleepMs(200);
    const uint64_t t0 = NowMs();
    EXPECT_EQ(Update_NoMotion(ch, 400), TARVEL_POLL_NO_FRAME);
    EXPECT_GE(NowMs() - t0, 350u);
    EXPECT_EQ(Chan(ch).ChannelState, 2);
}

TEST_F(Msi3360Driver, AFrameWithoutEtxIsCapped) {
    tsim::Converter conv(Ip(134), false);
    const int32_t ch = Connect(conv, 134, WMSI3360);
    auto& ind = conv.Channel('A');
    TBal& drv = *Chan(ch).Driver;

    // Uncapped, the good frame's STX would be a character of one overlong text.
    const std::string noise(3 * TBal::kMaxRxBuffer, 'x');
    EXPECT_EQ(PollWhileSending(ind, ch, "\x02" + noise + tsim::FrameMsi3360("9", "9", "0")),
              TARVEL_POLL_OK);
    EXPECT_STREQ(Gross_Canal(ch), "       9");

    EXPECT_EQ(PollWhileSending(ind, ch, "\x02" + noise, 500), TARVEL_POLL_NO_FRAME);
    EXPECT_LE(drv.RxBuffer.size(), TBal::kMaxRxBuffer);
}

TEST_F(Msi3360Driver, SerialPortOpensForEachPollAndMayFailToOpen) {
    tsim::PtyIndicator pty;
    MapCom(15, pty.Path());
    const int32_t ch = WMSI3360Serial(15);
    pty.Ind().Stream(tsim::FrameMsi3360("  20.00", "--------", "   0.00"));
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
        EXPECT_STREQ(Net_Canal(ch), "   20.00");
        EXPECT_FALSE(Chan(ch).SerialModule->SerCom.Open());
        EXPECT_EQ(Chan(ch).ChannelState, 2);
    }

    MapCom(16, "/nonexistent/tty");
    const int32_t missing = WMSI3360Serial(16);
    const uint64_t t0 = NowMs();
    EXPECT_EQ(Update_Canal(missing), TARVEL_POLL_NO_PORT);
    EXPECT_GE(NowMs() - t0, 550u);
    EXPECT_STREQ(Gross_Canal(missing), "0");
    EXPECT_EQ(Chan(missing).ChannelState, 2);
}

// ---- MSI 6260 -------------------------------------------------------------------------------

TEST_F(Msi6260Driver, TakesTheFirstLabelledLineWithEitherSeparator) {
    tsim::Converter conv(Ip(140), false);
    const int32_t ch = Connect(conv, 140, WMSI6260);
    auto& ind = conv.Channel('A');

    plat::SetDecimalSeparator(',');
    // Header and blank lines are dropped; of the ticket only its gross line counts.
    EXPECT_EQ(PollWhileSending(ind, ch, tsim::Msi6260Ticket("  12.50", "   2.50", "  10.00")),
              TARVEL_POLL_OK);
    EXPECT_STREQ(Gross_Canal(ch), "  12,50");
    EXPECT_STREQ(Net_Canal(ch), "EEEEEEE");
    EXPECT_STREQ(Tare_Canal(ch), "EEEEEEE");
    EXPECT_STREQ(Total_Canal(ch), "EEEEEEE");
    EXPECT_STREQ(Estado_Canal(ch), "EEEEEKGE");
    EXPECT_STREQ(Estado_EmMovimento(ch), "E");
    EXPECT_EQ(Chan(ch).CounterText, "");
    EXPECT_EQ(Chan(ch).ChannelState, 2);

    EXPECT_EQ(PollWhileSending(
                  ind, ch, tsim::Msi6260Text("") + tsim::Msi6260Line(tsim::kMsiTotal, "1.234,5")),
              0);
    EXPECT_STREQ(Total_Canal(ch), "1,234,5");
    EXPECT_STREQ(Gross_Canal(ch), "EEEEEEE");

    // A poll without a line resets the three weights but not the total or the status.
    EXPECT_EQ(Update_NoMotion(ch, 0), TARVEL_POLL_NO_FRAME);
    EXPECT_STREQ(Gross_Canal(ch), "0");
    EXPECT_STREQ(Net_Canal(ch), "0");
    EXPECT_STREQ(Tare_Canal(ch), "0");
    EXPECT_STREQ(Total_Canal(ch), "1,234,5");
    EXPECT_STREQ(Estado_Canal(ch), "EEEEEKGE");
    const uint64_t t0 = NowMs();
    EXPECT_EQ(PollWhileSending(ind, ch, tsim::Msi6260Text("  WEIGHT TICKET"), 400),
              TARVEL_POLL_NO_FRAME);
    EXPECT_GE(NowMs() - t0, 350u);
    EXPECT_STREQ(Total_Canal(ch), "1,234,5");

    plat::SetDecimalSeparator('.');
    EXPECT_EQ(PollWhileSending(ind, ch, tsim::Msi6260Line(tsim::kMsiTare, "   2,50", "LB")),
              TARVEL_POLL_OK);
    EXPECT_STREQ(Tare_Canal(ch), "   2.50");
    EXPECT_STREQ(Total_Canal(ch), "EEEEEEE");
    EXPECT_STREQ(Estado_Canal(ch), "EEEEELBE");
}

TEST_F(Msi6260Driver, LabelsMatchExactlyAndValuesEndBeforeTheUnit) {
    tsim::Converter conv(Ip(141), false);
    const int32_t ch = Connect(conv, 141, WMSI6260);
    auto& ind = conv.Channel('A');

    // Wrong case or blanks: not labels.
    std::string bytes = " NET    1.00 KG\r\n"
                        "TARE    1.00 KG\r\n"
                        "gross    1.00 KG\r\n"
                        "Total  1.00 KG\r\n"
                        "  Net    1.00 KG\r\n";
    bytes += tsim::Msi6260Line(tsim::kMsiNet, "   7.25");
    EXPECT_EQ(PollWhileSending(ind, ch, bytes), TARVEL_POLL_OK);
    EXPECT_STREQ(Net_Canal(ch), "   7.25");
    EXPECT_STREQ(Gross_Canal(ch), "EEEEEEE");
    EXPECT_STREQ(Tare_Canal(ch), "EEEEEEE");
    EXPECT_STREQ(Total_Canal(ch), "EEEEEEE");

    // No "KG" and no "LB" (the unit is case-sensitive too): nothing can be cut out.
    EXPECT_EQ(PollWhileSending(ind, ch, tsim::Msi6260Line(tsim::kMsiGross, "   4.00", "kg")),
              TARVEL_POLL_OK);
    EXPECT_STREQ(Gross_Canal(ch), "EEEEEEE");
    EXPECT_STREQ(Net_Canal(ch), "EEEEEEE");
    EXPECT_STREQ(Estado_Canal(ch), "EEEEELBE");
    EXPECT_EQ(PollWhileSending(ind, ch, tsim::Msi6260Text("GROSS    12.00")), TARVEL_POLL_OK);
    EXPECT_STREQ(Gross_Canal(ch), "EEEEEEE");

    // A label after the first unit gets an empty value; the value ends at the blank
    // before the first unit, whatever stands between.
    std::string gross = tsim::Msi6260Line(tsim::kMsiGross, "  12.00");
    gross.resize(gross.size() - 2); // without CR LF
    EXPECT_EQ(PollWhileSending(ind, ch, gross + "  " + tsim::Msi6260Line(tsim::kMsiNet, "  10.00")),
              0);
    EXPECT_STREQ(Gross_Canal(ch), "  12.00");
    EXPECT_STREQ(Net_Canal(ch), "");
    EXPECT_STREQ(Tare_Canal(ch), "EEEEEEE");
    EXPECT_STREQ(Estado_Canal(ch), "EEEEEKGE");
    EXPECT_EQ(PollWhileSending(ind, ch, "GROSS =x12#KG\r\n"), TARVEL_POLL_OK);
    EXPECT_STREQ(Gross_Canal(ch), "x12");
    EXPECT_EQ(PollWhileSending(ind, ch, "GROSS =KG\r\n"), TARVEL_POLL_OK);
    EXPECT_STREQ(Gross_Canal(ch), "");
}

TEST_F(Msi6260Driver, ALineThatNeverEndsIsCappedAndDropped) {
    tsim::Converter conv(Ip(142), false);
    const int32_t ch = Connect(conv, 142, WMSI6260);
    auto& ind = conv.Channel('A');
    TBal& drv = *Chan(ch).Driver;

    // The overlong line is dropped whole, labels in its tail included.
    std::string bytes(TBal::kMaxRxBuffer + 100, 'x');
    bytes += tsim::Msi6260Line(tsim::kMsiGross, "  99.99");
    bytes += tsim::Msi6260Line(tsim::kMsiNet, "   1.25");
    EXPECT_EQ(PollWhileSending(ind, ch, bytes), TARVEL_POLL_OK);
    EXPECT_STREQ(Net_Canal(ch), "   1.25");
    EXPECT_STREQ(Gross_Canal(ch), "EEEEEEE");

    EXPECT_EQ(PollWhileSending(ind, ch, std::string(5 * TBal::kMaxRxBuffer, 'y'), 500),
              TARVEL_POLL_NO_FRAME);
    EXPECT_LE(drv.RxBuffer.size(), TBal::kMaxRxBuffer);

    // The next poll starts on a fresh line.
    EXPECT_EQ(PollWhileSending(ind, ch, tsim::Msi6260Line(tsim::kMsiTare, "   0.50")),
              TARVEL_POLL_OK);
    EXPECT_STREQ(Tare_Canal(ch), "   0.50");
}

TEST_F(Msi6260Driver, SerialLineAt1200BaudSevenBitsMarkParity) {
    tsim::PtyIndicator pty;
    MapCom(17, pty.Path());
    const int32_t ch = WMSI6260Serial(17);
    const auto& s = Chan(ch).SerialModule->SerCom.Settings;
    // What the library asks of the port. A Linux pseudo-terminal forces 8 bits and clears
    // the parity enable on every change, so those two cannot be read back from it.
    EXPECT_EQ(s.baud, 1200);
    EXPECT_EQ(s.dataBits, 7);
    EXPECT_EQ(s.parity, plat::ParityMark);
    EXPECT_EQ(s.stopBits, 1);
    EXPECT_FALSE(s.dtr);
    EXPECT_FALSE(s.rts);

    pty.Ind().Silent();
    termios seen{};
    bool wasOpen = false;
    plat::PostCallback(100, [&] {
        seen = pty.Termios();
        wasOpen = Chan(ch).SerialModule->SerCom.Open();
        pty.Ind().Send(tsim::Msi6260Ticket("  12.50", "   2.50", "  10.00"));
    });
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
    EXPECT_TRUE(wasOpen);
    EXPECT_EQ(cfgetospeed(&seen), static_cast<speed_t>(B1200));
    EXPECT_EQ(cfgetispeed(&seen), static_cast<speed_t>(B1200));
    EXPECT_NE(seen.c_cflag & PARODD, 0u); // mark: stick parity, odd sense
    EXPECT_NE(seen.c_cflag & CMSPAR, 0u);
    EXPECT_EQ(seen.c_cflag & CSTOPB, 0u);
    EXPECT_STREQ(Gross_Canal(ch), "  12.50");
    EXPECT_STREQ(Estado_Canal(ch), "EEEEEKGE");
    EXPECT_FALSE(Chan(ch).SerialModule->SerCom.Open()); // closed once the line is in
}
