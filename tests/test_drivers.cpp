// The indicator families end to end, each case as a table over the families it applies to:
// frames decoded into the exact texts (either separator, noise, wrong lengths, texts without
// an end), polls that decode nothing, the wait for a frame without motion, the serial line of
// each model on a pseudo-terminal (the millisecond counter wrapping during the waits). Then
// polls from a timer inside a poll. Addresses 127.0.0.70-79, COM51-52.
#include "helpers.h"

#include <string>
#include <thread>

using namespace t6test;

namespace {

using Ctor = int32_t(TARVEL_CALL*)(int32_t, const char*);
using SerialCtor = int32_t(TARVEL_CALL*)(int32_t);

class Drivers : public LibraryTest {};

// The seven texts of a channel, "|" between them: gross, net, tare, total, counter, status,
// motion.
std::string Texts(int32_t ch) {
    std::string s = Gross_Canal(ch);
    for (const char* t : {Net_Canal(ch), Tare_Canal(ch), Total_Canal(ch), Contadora_Canal(ch),
                          Estado_Canal(ch), Estado_EmMovimento(ch)})
        s.append("|").append(t);
    return s;
}

// The Ohaus answers a request; the others send on their own.
bool Asks(Ctor ctor) {
    return ctor == WOhaus;
}

// Polls `ch` while its indicator gives `bytes` once: the reply to the poll's request (none for
// ""), or sent shortly after the poll started (Update_Canal for a time-out of -1, else
// Update_NoMotion).
int32_t PollFor(tsim::Indicator& ind, Ctor ctor, int32_t ch, const std::string& bytes,
                int32_t timeOut = -1) {
    if (Asks(ctor)) {
        ind.OnRequest(bytes, {tsim::Ms{0}, bytes.empty()});
        return timeOut == -1 ? Update_Canal(ch) : Update_NoMotion(ch, timeOut);
    }
    ind.Silent();
    return PollWhileSending(ind, ch, bytes, timeOut);
}

tsim::Ind5817 Ind(long weight, long tare = 0, int decimalCode = 0, int incrementBits = 0) {
    tsim::Ind5817 r = Reading(weight, tare, decimalCode);
    r.incrementBits = incrementBits;
    return r;
}

tsim::Ind5817 Moving(tsim::Ind5817 r) {
    r.motion = true;
    return r;
}

// A connected channel of `ctor` on converter channel A; the previous one is closed.
class Channels {
  public:
    Channels(tsim::Converter& conv, int n) : conv_(conv), ip_(Seta_Ip(Ip(n).c_str())) {}
    int32_t For(Ctor ctor) {
        if (ctor != ctor_) {
            Close_Canal(ch_);
            ctor_ = ctor;
            ch_ = ctor(ip_, "A");
            EXPECT_EQ(Select_Canal(ch_), TARVEL_SELECT_OK);
            EXPECT_TRUE(PumpUntil([&] { return conv_.Channel('A').Clients() == 1; }));
        }
        return ch_;
    }

  private:
    tsim::Converter& conv_;
    int32_t ip_;
    Ctor ctor_ = nullptr;
    int32_t ch_ = -1;
};

} // namespace

TEST_F(Drivers, DecodeEachFamilysFramesIntoExactTexts) {
    auto negative = Ind(120, 30, 3, 0x10); // one decimal place, increment 2
    negative.negative = negative.netMode = true;
    auto pounds = Ind(123456, 0, 7, 0x18); // five decimal places, increment 5
    pounds.kg = false;
    pounds.printRequest = true;
    auto krt = negative;
    krt.printRequest = true;
    auto krtMoving = Moving(Ind(5, 0, 5, 0x18));
    krtMoving.kg = false;
    const std::string raw = tsim::Frame5817(Moving(Ind(1234, 56, 4)));
    const std::string body = tsim::Body5817(Ind(111)).substr(0, 15); // without its CR
    const std::string endless = "\x02" + std::string(3 * TDecoder::kMaxFrame, 'x');
    std::string grossNoEnd = tsim::Msi6260Line(tsim::kMsiGross, "  12.00");
    grossNoEnd.resize(grossNoEnd.size() - 2); // without CR LF
    struct Case {
        Ctor ctor;
        char sep;
        std::string bytes, texts; // texts: see Texts()
        int32_t timeOut = -1;
    };
    const Case cases[] = {
        // 5817: status bits, decimal codes 0-2 without decimals, noise and frames with a wrong
        // check character or too short to hold the weights; an STX inside a frame does not
        // restart it (the next frame's check fails); an endless text is capped.
        {W5817, ',', tsim::Frame5817(negative), "      -9,0|     -12,0|       3,0|||2SSNNkgN|N"},
        {W5817, '.', tsim::Frame5817(pounds), "   1.23456|   1.23456|   0.00000|||5NNNNlbS|N"},
        {W5817, '.', tsim::Frame5817(Ind(7, 0, 2)),
         "         7|         7|         0|||1NNNNkgN|N"},
        {W5817, '.',
         "noise\r" + tsim::Frame5817(Ind(111), true) + tsim::Frame5817Raw("ab") +
             tsim::Frame5817Raw("") + tsim::Frame5817(Ind(222)),
         "       222|       222|         0|||1NNNNkgN|N"},
        {W5817, '.', "\x02unfinished" + tsim::Frame5817(Ind(333)) + tsim::Frame5817(Ind(444)),
         "       444|       444|         0|||1NNNNkgN|N"},
        {W5817, '.', "\x02" + std::string(5000, '7') + tsim::Frame5817(Ind(555)),
         "       555|       555|         0|||1NNNNkgN|N"},
        // The raw variant: the first frame with a right check, moving or not, kept as it is.
        {W5817C, '.', raw, "0|0|0||" + raw.substr(1, 16) + "||", 3000},
        // KRT: noise before STX and a check-like byte after CR are ignored; only sixteen
        // characters through CR make a frame; a plain poll takes a moving frame.
        {WKRT, ',', "\r\n99" + tsim::FrameKrt(krt) + "\x55",
         "      -9,0|     -12,0|       3,0|||2SSNNkgS|N"},
        {WKRT, '.', tsim::FrameKrt(krtMoving), "     0.005|     0.005|     0.000|||5NNNSlbN|S"},
        {WKRT, '.', tsim::FrameKrt(Ind(42, 0, 2)), "        42|        42|         0|||1NNNNkgN|N"},
        {WKRT, '.',
         "\x02"
         "ab" +
             tsim::FrameKrt(Ind(111)) + tsim::FrameKrtRaw(body.substr(0, 14)) +
             tsim::FrameKrtRaw(body + "0") + tsim::FrameKrtRaw(body + std::string(80, '7')) +
             tsim::FrameKrt(Ind(222)),
         "       222|       222|         0|||1NNNNkgN|N"},
        {WKRT, '.', endless + tsim::FrameKrt(Ind(5)),
         "         5|         5|         0|||1NNNNkgN|N"},
        // MSI 3360: the fields as sent, either separator; dashes and a zero net; only 26
        // characters between STX and ETX.
        {WMSI3360, ',', "0000kg\x03" + tsim::FrameMsi3360("  12.500", "   2.500", "  10,000"),
         "  12,500|   2,500|  10,000|||EEEEEkgE|E", 3000}, // no motion flag: any frame will do
        {WMSI3360, '.', tsim::FrameMsi3360("  -1,5", "  -2.5", "1", "lb"),
         "    -1.5|    -2.5|       1|||EEEEElbE|E"},
        {WMSI3360, '.', tsim::FrameMsi3360("--------", "--------", "--------"),
         "       0|       0|       0|||EEEEEkgE|E"},
        {WMSI3360, '.', tsim::FrameMsi3360("   5.000", "       0", "--------"),
         "   5.000|   5.000|       0|||EEEEEkgE|E"},
        {WMSI3360, '.', tsim::FrameMsi3360("   5.000", "--------", "   1.000"),
         "   5.000|   5.000|   1.000|||EEEEEkgE|E"},
        {WMSI3360, '.', tsim::FrameMsi3360("   5.000", "   0.000", "   5.000"),
         "   5.000|   0.000|   5.000|||EEEEEkgE|E"},
        {WMSI3360, '.', tsim::FrameMsi3360("--------", "   3.000", "-------"), // seven: kept
         "       0|   3.000| -------|||EEEEEkgE|E"},
        {WMSI3360, '.',
         tsim::FrameMsi3360Raw(std::string(25, '1')) + tsim::FrameMsi3360Raw(std::string(27, '2')) +
             "\x02xy" + tsim::FrameMsi3360("111", "111", "0") +
             tsim::FrameMsi3360("222", "222", "0"),
         "     222|     222|       0|||EEEEEkgE|E"},
        {WMSI3360, '.', endless + tsim::FrameMsi3360("9", "9", "0"),
         "       9|       9|       0|||EEEEEkgE|E"},
        // MSI 6260: the first labelled line; labels match exactly; the value ends at the blank
        // before the first unit ("KG" or "LB", case-sensitive; neither: nothing is cut out,
        // and the status says LB); an overlong line is dropped whole.
        {WMSI6260, ',', tsim::Msi6260Ticket("  12.50", "   2.50", "  10.00"),
         "  12,50|EEEEEEE|EEEEEEE|EEEEEEE||EEEEEKGE|E"},
        {WMSI6260, ',', tsim::Msi6260Text("") + tsim::Msi6260Line(tsim::kMsiTotal, "1.234,5"),
         "EEEEEEE|EEEEEEE|EEEEEEE|1,234,5||EEEEEKGE|E"},
        {WMSI6260, '.', tsim::Msi6260Line(tsim::kMsiTare, "   2,50", "LB"),
         "EEEEEEE|EEEEEEE|   2.50|EEEEEEE||EEEEELBE|E", 3000},
        {WMSI6260, '.',
         std::string(" NET    1.00 KG\r\n"
                     "TARE    1.00 KG\r\n"
                     "gross    1.00 KG\r\n"
                     "Total  1.00 KG\r\n"
                     "  Net    1.00 KG\r\n") +
             tsim::Msi6260Line(tsim::kMsiNet, "   7.25"),
         "EEEEEEE|   7.25|EEEEEEE|EEEEEEE||EEEEEKGE|E"},
        {WMSI6260, '.', tsim::Msi6260Line(tsim::kMsiGross, "   4.00", "kg"),
         "EEEEEEE|EEEEEEE|EEEEEEE|EEEEEEE||EEEEELBE|E"},
        {WMSI6260, '.', tsim::Msi6260Text("GROSS    12.00"),
         "EEEEEEE|EEEEEEE|EEEEEEE|EEEEEEE||EEEEELBE|E"},
        {WMSI6260, '.', grossNoEnd + "  " + tsim::Msi6260Line(tsim::kMsiNet, "  10.00"),
         "  12.00||EEEEEEE|EEEEEEE||EEEEEKGE|E"},
        {WMSI6260, '.', "GROSS =x12#KG\r\n", "x12|EEEEEEE|EEEEEEE|EEEEEEE||EEEEEKGE|E"},
        {WMSI6260, '.', "GROSS =KG\r\n", "|EEEEEEE|EEEEEEE|EEEEEEE||EEEEEKGE|E"},
        {WMSI6260, '.',
         std::string(TDecoder::kMaxFrame + 100, 'x') +
             tsim::Msi6260Line(tsim::kMsiGross, "  99.99") +
             tsim::Msi6260Line(tsim::kMsiNet, "   1.25"),
         "EEEEEEE|   1.25|EEEEEEE|EEEEEEE||EEEEEKGE|E"},
        // Ohaus: the displayed weight as the net text; CR inside the line is dropped and a bare
        // CR LF line is no reply; not a weight at the start gives ten blanks; a minus anywhere
        // marks the line negative; only the last ten characters of a long run are kept; blanks
        // left of the point become zeros only on negative lines; a line longer than the
        // receive buffer without an LF is dropped whole.
        {WOhaus, ',', tsim::OhausLine("-   1.50"), "EEEEEEEEEE| -0001,50 |EEEEEEEEEE|||EESENEEE|N"},
        {WOhaus, '.', tsim::OhausReading(12.3, 1, "kg", true),
         "EEEEEEEEEE|     12.3 |EEEEEEEEEE|||EENESEEE|S"},
        {WOhaus, '.', "\r\n  1\r2.5 kg\r\n", "EEEEEEEEEE|     12.5 |EEEEEEEEEE|||EENENEEE|N"},
        {WOhaus, '.', "kg -12 ?\r\n", "EEEEEEEEEE|          |EEEEEEEEEE|||EESESEEE|S"},
        {WOhaus, '.', "  12.0 kg -\r\n", "EEEEEEEEEE|   0012.0 |EEEEEEEEEE|||EESENEEE|N"},
        {WOhaus, '.', "123456789012345 kg\r\n", "EEEEEEEEEE|789012345 |EEEEEEEEEE|||EENENEEE|N"},
        {WOhaus, '.', "   1,5 lb\r\n", "EEEEEEEEEE|      1,5 |EEEEEEEEEE|||EENENEEE|N"},
        {WOhaus, '.', "- 1.2-\r\n", "EEEEEEEEEE|    -01.2-|EEEEEEEEEE|||EESENEEE|N"},
        {WOhaus, '.', std::string(2000, '9') + "\n   2.0 kg\r\n",
         "EEEEEEEEEE|      2.0 |EEEEEEEEEE|||EENENEEE|N"},
    };
    tsim::Converter conv(Ip(70), false);
    Channels channels(conv, 70);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes.substr(0, 40));
        const int32_t ch = channels.For(c.ctor);
        plat::SetDecimalSeparator(c.sep);
        EXPECT_EQ(PollFor(conv.Channel('A'), c.ctor, ch, c.bytes, c.timeOut), TARVEL_POLL_OK);
        EXPECT_EQ(Texts(ch), c.texts);
        EXPECT_EQ(Chan(ch).ChannelState, kStateIdle);
    }
}

// A poll that decodes nothing ends at its time with the family's code: the weights read "0",
// what the last frame set otherwise stays (the status; the MSI 6260's total), an indicator
// out of range keeps its code; with a time-out of 0 nothing is processed at all. The next
// poll reads a frame as usual, starting on a fresh one.
TEST_F(Drivers, APollThatDecodesNothing) {
    auto over = Ind(0);
    over.outOfRange = true;
    const std::string krtBody = tsim::Body5817(Ind(111)).substr(0, 15);
    const std::string endless = "\x02" + std::string(3 * TDecoder::kMaxFrame, 'x');
    struct Case {
        Ctor ctor;
        std::string good, bad;
        int32_t goodCode, code;
        std::string texts; // after the failed poll
    };
    const Case cases[] = {
        {W5817, tsim::Frame5817(Ind(60)), endless, 0, 2, "0|0|0|||1NNNNkgN|N"},
        {W5817, tsim::Frame5817(over), "", 3, 3, "0|0|0|||1NNSNkgN|N"},
        {WKRT, tsim::FrameKrt(Ind(42)),
         tsim::FrameKrtRaw(krtBody.substr(0, 14)) + tsim::FrameKrtRaw(krtBody + "0"), 0, 2,
         "0|0|0|||1NNNNkgN|N"},
        {WKRT, tsim::FrameKrt(over), endless, 3, 3, "0|0|0|||1NNSNkgN|N"},
        {WMSI3360, tsim::FrameMsi3360("7", "7", "0", "lb"),
         tsim::FrameMsi3360Raw(std::string(25, '1')) + tsim::FrameMsi3360Raw(std::string(27, '2')),
         0, 1, "0|0|0|||EEEEElbE|E"},
        {WMSI6260, tsim::Msi6260Line(tsim::kMsiTotal, "1.234,5"),
         tsim::Msi6260Text("  WEIGHT TICKET"), 0, 1, "0|0|0|1.234.5||EEEEEKGE|E"},
        {WMSI6260, tsim::Msi6260Line(tsim::kMsiTare, "   0.50", "LB"),
         std::string(5 * TDecoder::kMaxFrame, 'y'), 0, 1, "0|0|0|EEEEEEE||EEEEELBE|E"},
        {WOhaus, tsim::OhausLine("-  2.0"), "", 0, 2, "EEEEEEEEEE|0|EEEEEEEEEE|||EESENEEE|N"},
    };
    tsim::Converter conv(Ip(71), false);
    Channels channels(conv, 71);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.good.substr(0, 30));
        const int32_t ch = channels.For(c.ctor);
        tsim::Indicator& ind = conv.Channel('A');
        EXPECT_EQ(PollFor(ind, c.ctor, ch, c.good), c.goodCode);
        const std::string goodTexts = Texts(ch);
        const uint64_t t0 = NowMs();
        EXPECT_EQ(PollFor(ind, c.ctor, ch, c.bad, 500), c.code);
        EXPECT_GE(NowMs() - t0, 450u);
        EXPECT_EQ(Texts(ch), c.texts);
        EXPECT_LE(Chan(ch).Driver->Pending(), TDecoder::kMaxFrame);
        EXPECT_EQ(Update_NoMotion(ch, 0), c.code);
        EXPECT_EQ(Texts(ch), c.texts);
        EXPECT_EQ(PollFor(ind, c.ctor, ch, c.good), c.goodCode);
        EXPECT_EQ(Texts(ch), goodTexts);
    }
}

// Update_NoMotion waits for a frame without motion (-1 is a plain poll, which takes a moving
// one): a scale that keeps moving gives 2 at the time-out with the last moving frame's texts;
// one that settles ends the wait with its first still frame, the Ohaus asking again after
// every moving reply. The millisecond counter wraps during the waits.
TEST_F(Drivers, TheWaitForAFrameWithoutMotion) {
    struct Case {
        Ctor ctor;
        std::string moving, still, movingNet, stillNet;
    };
    const Case cases[] = {
        {W5817, tsim::Frame5817(Moving(Ind(50))), tsim::Frame5817(Ind(60)), "        50",
         "        60"},
        {WKRT, tsim::FrameKrt(Moving(Ind(77))), tsim::FrameKrt(Ind(78)), "        77",
         "        78"},
        {WOhaus, tsim::OhausReading(3.25, 2, "kg", true), tsim::OhausReading(3.5, 2), "     3.25 ",
         "     3.50 "},
    };
    tsim::Converter conv(Ip(72), false);
    Channels channels(conv, 72);
    tsim::Indicator& ind = conv.Channel('A');
    for (const Case& c : cases) {
        SCOPED_TRACE(c.movingNet);
        // The moving frames before the channel: nothing of the row before may reach its polls
        // (on Windows bytes that came between calls reach the next poll).
        Asks(c.ctor) ? ind.OnRequest(c.moving) : ind.Stream(c.moving);
        const int32_t ch = channels.For(c.ctor);
        Pump(200);
        plat::SetTickCount(0xFFFFFFFFu - 5); // the millisecond counter wraps during each wait
        EXPECT_EQ(Update_NoMotion(ch, -1), TARVEL_POLL_OK);
        EXPECT_STREQ(Estado_EmMovimento(ch), "S");

        int requests = ind.Requests();
        plat::SetTickCount(0xFFFFFFFFu - 300);
        const uint64_t t0 = NowMs();
        EXPECT_EQ(Update_NoMotion(ch, 1000), TARVEL_POLL_MOTION);
        EXPECT_GE(NowMs() - t0, 950u);
        EXPECT_LT(NowMs() - t0, 6000u);
        EXPECT_STREQ(Net_Canal(ch), c.movingNet.c_str());
        EXPECT_STREQ(Estado_EmMovimento(ch), "S");
        EXPECT_GE(ind.Requests() - requests, Asks(c.ctor) ? 2 : 0); // one request per reply

        // The scale settles while the poll waits (and keeps asking).
        requests = ind.Requests();
        std::thread settle([&] {
            if (Asks(c.ctor))
                ind.WaitRequests(requests + 3, tsim::Ms{5000});
            else
                std::this_thread::sleep_for(tsim::Ms{400});
            ind.SetFrame(c.still);
        });
        EXPECT_EQ(Update_NoMotion(ch, 8000), TARVEL_POLL_OK);
        settle.join();
        EXPECT_STREQ(Net_Canal(ch), c.stillNet.c_str());
        EXPECT_STREQ(Estado_EmMovimento(ch), "N");
        EXPECT_GE(ind.Requests() - requests, Asks(c.ctor) ? 3 : 0);
    }
}

// Each model's serial line as the library asks for it and as the device sees it (a Linux
// pseudo-terminal forces 8 bits and no parity, so those two are read from the request);
// the port opens for each poll and closes once the frame is in (the raw variant leaves it
// open); a port that does not exist gives 4 after the family's time for opening it.
TEST_F(Drivers, TheSerialLineOfEachModel) {
    struct Case {
        SerialCtor ctor;
        std::string frame, net;
        int32_t baud;
        int dataBits, parity, stopBits;
        bool odd, stick, modemLines, keepsOpen;
        uint64_t openMs;
    };
    const Case cases[] = {
        {W5817Serial, tsim::Frame5817(Ind(4321, 100, 4)), "     43.21", 4800, 7, plat::ParityEven,
         1, false, false, false, false, 1000},
        {W5817SerialC, tsim::Frame5817(Ind(4321, 100, 4)), "0", 4800, 7, plat::ParityEven, 1, false,
         false, false, true, 1000},
        {WKRTSerial, tsim::FrameKrt(Ind(1500, 0, 4)), "     15.00", 4800, 7, plat::ParityEven, 1,
         false, false, false, false, 1000},
        {WOhausSerial, tsim::OhausLine("-   1.50"), " -0001.50 ", 9600, 7, plat::ParityEven, 2,
         false, false, true, false, 600},
        {WMSI3360Serial, tsim::FrameMsi3360("  20.00", "--------", "   0.00"), "   20.00", 9600, 8,
         plat::ParityNone, 1, false, false, false, false, 600},
        {WMSI6260Serial, tsim::Msi6260Ticket("  12.50", "   2.50", "  10.00"), "EEEEEEE", 1200, 7,
         plat::ParityMark, 1, true, true, false, false, 600},
    };
    MapCom(52, "/nonexistent/tty");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.net);
        tsim::PtyIndicator pty; // a new device: nothing left of the model before
        MapCom(51, pty.Path());
        const int32_t ch = c.ctor(51);
        const auto& com = Chan(ch).SerialModule->SerCom;
        EXPECT_EQ(com.Settings.baud, c.baud);
        EXPECT_EQ(com.Settings.dataBits, c.dataBits);
        EXPECT_EQ(com.Settings.parity, c.parity);
        EXPECT_EQ(com.Settings.stopBits, c.stopBits);
        EXPECT_EQ(com.Settings.dtr, c.modemLines);
        EXPECT_EQ(com.Settings.rts, c.modemLines);
        EXPECT_FALSE(com.Open()); // opened by a poll, never by the constructor
        c.ctor == WOhausSerial ? pty.Ind().OnRequest(c.frame) : pty.Ind().Stream(c.frame);
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
            EXPECT_STREQ(Net_Canal(ch), c.net.c_str());
            EXPECT_EQ(com.Open(), c.keepsOpen);
            EXPECT_EQ(Chan(ch).ChannelState, kStateIdle);
        }
        Close_Canal(ch);
        const tsim::LineSettings line = pty.Line();
        EXPECT_EQ(line.baud, static_cast<unsigned>(c.baud));
        EXPECT_EQ(line.inBaud, static_cast<unsigned>(c.baud));
        EXPECT_EQ(line.stopBits, c.stopBits);
        EXPECT_EQ(line.parityOdd, c.odd);
        EXPECT_EQ(line.parityStick, c.stick);
        EXPECT_FALSE(line.hardwareFlow);
        EXPECT_FALSE(line.softwareFlow);

        const int32_t missing = c.ctor(52);
        const uint64_t t0 = NowMs();
        EXPECT_EQ(Update_Canal(missing), TARVEL_POLL_NO_PORT);
        EXPECT_GE(NowMs() - t0, c.openMs - 50);
        EXPECT_LT(NowMs() - t0, c.openMs + 4000);
        EXPECT_STREQ(Net_Canal(missing), "0");
        EXPECT_EQ(Chan(missing).ChannelState, kStateIdle);
        Deleta_Canal(missing);
        Deleta_Canal(ch);
    }
}

TEST_F(Drivers, CallsFromATimerInsideAPoll) {
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
    EXPECT_EQ(ChannelAt(a)->ChannelState, kStateIdle);
    EXPECT_EQ(ChannelAt(b)->ChannelState, kStateIdle);
}
