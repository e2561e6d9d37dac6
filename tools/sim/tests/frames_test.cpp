#include "tarvelsim.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

// STX + every character up to the check character, 7 bits each, plus the check: 0 mod 128.
int CheckSum(const std::string& frame) {
    int sum = 0;
    for (char c : frame)
        sum += static_cast<unsigned char>(c) & 0x7F;
    return sum % 128;
}

// The frames' layouts are what the library's suites decode into exact texts (tests/
// test_drivers.cpp: status bits, weights, wrong check characters, short and overlong
// frames); here what they do not reach.
TEST(Frames, TheCheckCharacterHoldsForEveryStatus) {
    for (int dec = 0; dec < 8; ++dec) {
        for (int bits = 0; bits < 32; ++bits) {
            tsim::Ind5817 q;
            q.weight = 999999 - dec * 1111 - bits;
            q.tare = bits * 31;
            q.decimalCode = dec;
            q.incrementBits = (bits & 3) == 3 ? 0x18 : (bits & 1) ? 0x10 : 0;
            q.netMode = bits & 1;
            q.negative = bits & 2;
            q.outOfRange = bits & 4;
            q.motion = bits & 8;
            q.kg = bits & 16;
            q.printRequest = bits & 1;
            const std::string g = tsim::Frame5817(q);
            ASSERT_EQ(g.size(), 18u);
            ASSERT_EQ(CheckSum(g), 0) << dec << "/" << bits;
            ASSERT_LT(static_cast<unsigned char>(g[17]), 0x80);
            for (char c : g.substr(1, 15))
                ASSERT_TRUE(c >= 0x20 && c < 0x7F) << int(c);
        }
    }
    // MSI 3360 fields are cut to their width, the unit to two characters.
    EXPECT_EQ(tsim::FrameMsi3360("123456789", "", "", "lbs").substr(1, 26),
              "12345678                lb");
}

TEST(Frames, ConfigureSpecs) {
    tsim::Indicator ind;
    tsim::Configure(ind, "5817:weight=1234,tare=100,dec=3,inc=2,motion");
    tsim::Ind5817 p;
    p.weight = 1234;
    p.tare = 100;
    p.decimalCode = 3;
    p.incrementBits = 0x10;
    p.motion = true;
    EXPECT_EQ(ind.GetMode(), tsim::Indicator::Mode::Stream);
    EXPECT_EQ(ind.Frame(), tsim::Frame5817(p));

    tsim::Configure(ind, "ohaus:weight=-1.5,delay=20");
    EXPECT_EQ(ind.GetMode(), tsim::Indicator::Mode::OnRequest);
    EXPECT_EQ(ind.Frame(), "-   1.50 kg\r\n");

    tsim::Configure(ind, "msi3360:gross=12\\,5,net=--------,unit=lb");
    EXPECT_EQ(ind.Frame().substr(1, 26), "    12,5--------       0lb");

    tsim::Configure(ind, "raw:text=\\x02A\\r\\n");
    EXPECT_EQ(ind.Frame(), "\x02"
                           "A\r\n");

    tsim::Configure(ind, "silent");
    EXPECT_EQ(ind.GetMode(), tsim::Indicator::Mode::Silent);

    EXPECT_THROW(tsim::Configure(ind, "5818"), std::invalid_argument);
    EXPECT_THROW(tsim::Configure(ind, "5817:weigth=1"), std::invalid_argument);
    EXPECT_THROW(tsim::Configure(ind, "krt:weight=abc"), std::invalid_argument);
    EXPECT_THROW(tsim::Configure(ind, "krt:inc=3"), std::invalid_argument);
}

} // namespace
