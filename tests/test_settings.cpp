// Serial settings of a channel, the converter's buffer commands and the version texts.
#include "helpers.h"

#include <string>
#include <vector>

using namespace t6test;

namespace {

class SerialSettings : public LibraryTest {};

const plat::SerialSettings& SettingsOf(int32_t ch) {
    return ChannelAt(ch)->SerialModule->SerCom.Settings;
}

} // namespace

TEST_F(SerialSettings, NewSettingsReachThePortAtTheNextPoll) {
    tsim::PtyIndicator pty;
    MapCom(11, pty.Path());
    pty.Ind().OnRequest(tsim::OhausLine("   2.50"));
    const int32_t ch = WOhausSerial(11);
    auto& com = ChannelAt(ch)->SerialModule->SerCom;

    ASSERT_EQ(Update_Canal(ch), TARVEL_POLL_OK); // the model's line: test_drivers.cpp

    // Opened again for the change: it is closed and stays closed until the next poll.
    ASSERT_TRUE(com.SetOpen(true));
    EXPECT_EQ(ProgSerial(ch, 4800, 65536 + 8, 1, 1), 1); // only the low 16 bits count
    EXPECT_FALSE(com.Open());
    EXPECT_EQ(SettingsOf(ch).baud, 4800);
    EXPECT_EQ(SettingsOf(ch).dataBits, 8);
    EXPECT_EQ(SettingsOf(ch).parity, plat::ParityOdd);
    EXPECT_EQ(SettingsOf(ch).stopBits, 1);
    EXPECT_EQ(ChannelAt(ch)->ChannelState, kStateIdle);

    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
    const tsim::LineSettings line = pty.Line();
    EXPECT_EQ(line.baud, 4800u);
    EXPECT_EQ(line.stopBits, 1);
    EXPECT_TRUE(line.parityOdd);
    EXPECT_FALSE(line.parityStick);
    EXPECT_STREQ(Net_Canal(ch), "     2.50 ");

    // Parity 2 is even; every other code, mark and space included, is none.
    EXPECT_EQ(ProgSerial(ch, 9600, 7, 2, 65536 + 2), 1);
    EXPECT_EQ(SettingsOf(ch).parity, plat::ParityEven);
    EXPECT_EQ(SettingsOf(ch).stopBits, 2);
    for (int32_t code : {0, 3, 4, -1, 7}) {
        EXPECT_EQ(ProgSerial(ch, 9600, 7, 2, 1), 1);
        EXPECT_EQ(ProgSerial(ch, 9600, 7, code, 1), 1);
        EXPECT_EQ(SettingsOf(ch).parity, plat::ParityNone) << code;
    }

    // A setting the port refuses shows up at the next poll, as a port that does not open.
    // (Windows serial drivers, and Wine's pseudo-terminals, take any speed.)
#ifndef _WIN32
    EXPECT_EQ(ProgSerial(ch, 12345, 8, 0, 1), 1);
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_NO_PORT);
#endif
    EXPECT_EQ(ProgSerial(ch, 9600, 7, 2, 2), 1);
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
}

TEST_F(SerialSettings, ChannelsWithoutAPortAreLeftAlone) {
    tsim::Converter conv(Ip(180), false);
    conv.Channel('B').OnRequest(tsim::OhausLine("  1"));
    Seta_Ip(Ip(180).c_str());
    const int32_t tcp = WOhaus(0, "B");
    ASSERT_EQ(Select_Canal(tcp), TARVEL_SELECT_OK);
    EXPECT_EQ(ProgSerial(tcp, 4800, 8, 1, 1), 0);
    EXPECT_TRUE(ChannelAt(tcp)->TcpModule->SocLeitura->Active());
    EXPECT_EQ(Update_Canal(tcp), TARVEL_POLL_OK);

    tsim::PtyIndicator pty;
    MapCom(12, pty.Path());
    const int32_t serial = WOhausSerial(12);
    const plat::SerialSettings before = SettingsOf(serial);
    // Indices that name no channel: nothing changes anywhere.
    for (int32_t bad : {-1, serial + 1, 1000}) {
        EXPECT_EQ(ProgSerial(bad, 4800, 8, 1, 1), 0);
        EXPECT_EQ(SettingsOf(serial).baud, before.baud);
    }
    const int32_t gone = WOhausSerial(12);
    Deleta_Canal(gone);
    EXPECT_EQ(ProgSerial(gone, 4800, 8, 1, 1), 0);
    // A closed channel has no port any more.
    Close_Canal(serial);
    EXPECT_EQ(ProgSerial(serial, 4800, 8, 1, 1), 0);
}

TEST_F(SerialSettings, BufferCommandsNameTheConverterChannel) {
    tsim::Converter conv(Ip(181));
    const int32_t ip = Seta_Ip(Ip(181).c_str());

    EXPECT_EQ(ClrBufRx(ip, "b"), 0);
    EXPECT_EQ(ClrBufTx(ip, "D"), 0);
    EXPECT_EQ(ClrBufRx(ip, "A"), 0);
    EXPECT_EQ(ClrBufTx(ip, "c"), 0);
    EXPECT_EQ(conv.Io().Commands(), (std::vector<std::string>{"RB", "WD", "RA", "WC"}));

    // Bad letters and indices fail before any connection is made.
    const int connections = conv.Io().Connections();
    for (const char* bad : {"E", "AB", "", "1"}) {
        LastError.clear();
        EXPECT_EQ(ClrBufRx(ip, bad), -1) << bad;
        EXPECT_EQ(ClrBufTx(ip, bad), -1) << bad;
        EXPECT_FALSE(LastError.empty());
    }
    EXPECT_EQ(ClrBufRx(ip, nullptr), -1);
    EXPECT_EQ(ClrBufRx(ip + 1, "A"), -1);
    EXPECT_EQ(ClrBufTx(-1, "A"), -1);
    EXPECT_EQ(conv.Io().Connections(), connections);

    // Nobody listening: nothing was sent, a failure. A reset connection: a failure too.
    conv.Io().SetMode(tsim::IoMode::Refuse);
    EXPECT_EQ(ClrBufRx(ip, "A"), -1);
    conv.Io().SetMode(tsim::IoMode::Hangup);
    EXPECT_EQ(ClrBufTx(ip, "A"), -1);
}

TEST_F(SerialSettings, VersionTexts) {
    for (int i = 0; i < 2; ++i) {
        const char* p[5] = {};
        FirVer(&p[0], &p[1], &p[2], &p[3], &p[4]);
        EXPECT_STREQ(p[0], "TARVEL");
        EXPECT_STREQ(p[1], "2.0.15");
        EXPECT_STREQ(p[2], "");
        EXPECT_STREQ(p[3], "");
        EXPECT_STREQ(p[4], "Tarvel6");
    }
    FirVer(nullptr, nullptr, nullptr, nullptr, nullptr);
}
