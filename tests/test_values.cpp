// Poll dispatcher refusals, the value functions, and LePesoConsecutivo.
#include "helpers.h"

#include "Exports.h"

using namespace t6test;

TEST_F(LibraryTest, DispatcherRefusalsAndValuesOfUnusableChannels) {
    Seta_Ip(Ip(90).c_str());
    const int32_t ch = W5817(0, "A");
    // A fresh channel: empty texts, never null; a text that is not a number reads 0.0.
    EXPECT_STREQ(Gross_Canal(ch), "");
    EXPECT_DOUBLE_EQ(Net_Canal_Float(ch), 0.0);

    // Indices outside the table and emptied slots: closed-channel values, never a crash.
    for (int32_t bad : {-1, 7, 100000}) {
        EXPECT_STREQ(Net_Canal(bad), "EEEEEEEEEE");
        EXPECT_STREQ(Estado_Canal(bad), "EEEEEEEEEE");
        EXPECT_DOUBLE_EQ(Tare_Canal_Float(bad), 0.0);
        EXPECT_EQ(Update_Canal(bad), TARVEL_POLL_NO_FRAME);
        EXPECT_EQ(Update_NoMotion(bad, 100), TARVEL_POLL_NO_FRAME);
    }
    const int32_t gone = W5817Serial(1);
    Deleta_Canal(gone);
    EXPECT_STREQ(Contadora_Canal(gone), "EEEEEEEEEE");
    EXPECT_DOUBLE_EQ(Gross_Canal_Float(gone), 0.0);
    EXPECT_EQ(Update_Canal(gone), TARVEL_POLL_NO_FRAME);

    // An unknown device type is refused without calling a driver.
    const uint32_t before = PollCount();
    for (int32_t type : {0, 7}) {
        ChannelAt(ch)->DeviceType = type;
        EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_NO_FRAME);
    }
    EXPECT_EQ(PollCount(), before);
    ChannelAt(ch)->DeviceType = 1;

    Close_Canal(ch);
    EXPECT_STREQ(Gross_Canal(ch), "EEEEEEEEEE");
    EXPECT_DOUBLE_EQ(Net_Canal_Float(ch), 0.0);
}

// The numbers are the frame's weights, whatever separator the texts show; a field that is not
// a number reads 0.0.
TEST_F(LibraryTest, TheNumbersAreTheFramesWhateverTheTextsShow) {
    tsim::Converter conv(Ip(93), false);
    Seta_Ip(Ip(93).c_str());
    const int32_t msi = WMSI3360(0, "A"), ticket = WMSI6260(0, "B");
    ASSERT_EQ(Select_Canal(msi), TARVEL_SELECT_OK);
    ASSERT_EQ(Select_Canal(ticket), TARVEL_SELECT_OK);
    for (const char sep : {'.', ','}) {
        SCOPED_TRACE(sep);
        plat::SetDecimalSeparator(sep);
        ASSERT_EQ(PollWhileSending(conv.Channel('A'), msi,
                                   tsim::FrameMsi3360(" -12.50", "   12,50", "   12 5")),
                  TARVEL_POLL_OK);
        EXPECT_EQ(std::string(Gross_Canal(msi)), std::string("  -12") + sep + "50");
        EXPECT_EQ(std::string(Net_Canal(msi)), std::string("   12") + sep + "50");
        EXPECT_DOUBLE_EQ(Gross_Canal_Float(msi), -12.5);
        EXPECT_DOUBLE_EQ(Net_Canal_Float(msi), 12.5);
        EXPECT_DOUBLE_EQ(Tare_Canal_Float(msi), 0.0);
        ASSERT_EQ(PollWhileSending(conv.Channel('B'), ticket,
                                   tsim::Msi6260Line(tsim::kMsiGross, " 1.234")),
                  TARVEL_POLL_OK);
        EXPECT_STREQ(Net_Canal(ticket), "EEEEEEE");
        EXPECT_DOUBLE_EQ(Gross_Canal_Float(ticket), 1.234);
        EXPECT_DOUBLE_EQ(Net_Canal_Float(ticket), 0.0);
    }
}

TEST_F(LibraryTest, LePesoConsecutivoCountsEqualReadings) {
    tsim::Converter conv(Ip(91), false);
    conv.Channel('A').Stream(tsim::Frame5817(Reading(0, 0, 4)), Every(30)); // two decimals
    conv.Channel('B').Stream(tsim::Frame5817(Reading(1250, 0, 4)), Every(30));
    Seta_Ip(Ip(91).c_str());
    const int32_t empty = W5817(0, "A");
    const int32_t loaded = W5817(0, "B");

    EXPECT_EQ(LePesoConsecutivo(-1, 5, 5), TARVEL_STABLE_NO_CHANNEL);

    // An empty scale counts from the first reading; a load needs one more to set the
    // reference. LePesoConsecutivo connects the channel itself.
    uint32_t before = PollCount();
    EXPECT_EQ(LePesoConsecutivo(empty, 10, 3), TARVEL_STABLE_OK);
    EXPECT_EQ(PollCount() - before, 3u);
    before = PollCount();
    EXPECT_EQ(LePesoConsecutivo(loaded, 10, 3), TARVEL_STABLE_OK);
    EXPECT_EQ(PollCount() - before, 4u);
    EXPECT_DOUBLE_EQ(Net_Canal_Float(loaded), 12.5);

    // A weight that keeps changing: time up with the last poll successful gives 7.
    tsim::Configure(conv.Channel('C'), "5817:mode=ramp,to=100000,step=1,period=30");
    const int32_t changing = W5817(0, "C");
    uint64_t t0 = NowMs();
    EXPECT_EQ(LePesoConsecutivo(changing, 1, 3), TARVEL_STABLE_TIMEOUT);
    EXPECT_GE(NowMs() - t0, 950u);
}

TEST_F(LibraryTest, LePesoConsecutivoKeepsItsLimitWhenTheConverterIsAway) {
    Seta_Ip(Ip(92).c_str());
    const int32_t ch = W5817(0, "A"); // nothing listens: every connect is refused
    const uint64_t t0 = NowMs();
    // The refused connect costs nothing; the one poll of the unconnected channel waits its
    // usual 10 s for a frame, and its code (1, not 7) is the result.
    EXPECT_EQ(LePesoConsecutivo(ch, 2, 3), TARVEL_POLL_NO_FRAME);
    const uint64_t took = NowMs() - t0;
    EXPECT_GE(took, 1900u);
    EXPECT_LT(took, 16000u);
}
