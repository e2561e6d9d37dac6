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

TEST(Frames, Frame5817LayoutStatusBitsAndCheckCharacter) {
    tsim::Ind5817 p;
    p.weight = 1234;
    p.tare = 100;
    p.decimalCode = 3;
    p.incrementBits = 0x10;
    p.netMode = true;
    p.motion = true;
    p.printRequest = true;
    std::string f = tsim::Frame5817(p);
    ASSERT_EQ(f.size(), 18u);
    EXPECT_EQ(f[0], tsim::kStx);
    EXPECT_EQ(f.substr(4, 12), "001234000100");
    EXPECT_EQ(f[16], tsim::kCr);
    EXPECT_EQ(f[1], 0x20 | 0x10 | 3);
    EXPECT_EQ(f[2], 0x20 | 0x01 | 0x08 | 0x10);
    EXPECT_EQ(f[3], 0x20 | 0x08);
    EXPECT_EQ(CheckSum(f), 0);
    for (char c : f.substr(1, 15))
        EXPECT_TRUE(c >= 0x20 && c < 0x7F) << int(c);

    // Sweep the whole status space: the property holds and the check stays 7-bit.
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
            std::string g = tsim::Frame5817(q);
            ASSERT_EQ(CheckSum(g), 0) << dec << "/" << bits;
            ASSERT_LT(static_cast<unsigned char>(g[17]), 0x80);
        }
    }

    // A negative weight sends its digits and the negative bit; lb clears bit 4.
    tsim::Ind5817 n;
    n.weight = -120;
    n.tare = 30;
    n.kg = false;
    std::string g = tsim::Frame5817(n);
    EXPECT_EQ(g.substr(4, 6), "000120");
    EXPECT_EQ(g[2], 0x20 | 0x02);

    EXPECT_NE(CheckSum(tsim::Frame5817(p, true)), 0);
    std::string shortFrame = tsim::Frame5817Raw("  !12");
    EXPECT_EQ(shortFrame.size(), 8u);
    EXPECT_EQ(CheckSum(shortFrame), 0);
    EXPECT_NE(CheckSum(tsim::Frame5817Raw("  !12", true)), 0);
}

TEST(Frames, KrtMsiAndOhausLayouts) {
    tsim::Ind5817 p;
    p.weight = 500;
    std::string k = tsim::FrameKrt(p);
    ASSERT_EQ(k.size(), 17u);
    EXPECT_EQ(k.front(), tsim::kStx);
    EXPECT_EQ(k.back(), tsim::kCr);
    EXPECT_EQ(k.substr(0, 17), tsim::Frame5817(p).substr(0, 17));
    EXPECT_EQ(tsim::FrameKrtRaw(std::string(14, '0')).size(), 16u);

    std::string m = tsim::FrameMsi3360("--------", "1.50", "  12,5  ", "kg");
    ASSERT_EQ(m.size(), 28u);
    EXPECT_EQ(m.front(), tsim::kStx);
    EXPECT_EQ(m.back(), tsim::kEtx);
    EXPECT_EQ(m.substr(1, 26), "--------    1.50  12,5  kg");
    EXPECT_EQ(tsim::FrameMsi3360("123456789", "", "", "lbs").substr(1, 26),
              "12345678                lb");
    EXPECT_EQ(tsim::FrameMsi3360Raw(std::string(25, ' ')).size(), 27u);

    std::string line = tsim::Msi6260Line(tsim::kMsiGross, "  12.50");
    EXPECT_EQ(line, "GROSS    12.50 KG\r\n");
    // The value starts 7 characters after the label and ends 2 before the unit.
    EXPECT_EQ(line.substr(7, line.find("KG") - 1 - 7), "  12.50");
    std::string ticket = tsim::Msi6260Ticket("10.00", "2.00", "8.00", "LB");
    EXPECT_NE(ticket.find("  NET  8.00 LB\r\n"), std::string::npos);
    EXPECT_NE(ticket.find(" TARE  2.00 LB\r\n"), std::string::npos);

    EXPECT_EQ(tsim::OhausReading(-1.5, 2), "-   1.50 kg\r\n");
    EXPECT_EQ(tsim::OhausReading(12.3, 1, "kg", true), "    12.3 kg ?\r\n");
    EXPECT_EQ(tsim::OhausLine("   12.3", "kg", true), "   12.3 kg ?\r\n");
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
