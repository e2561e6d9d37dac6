#include "W_5817.h"

#include "platform.h"

extern const Family kFamily5817C;

namespace {

// A six-character field read as a whole decimal integer; anything else counts as 0.
long FieldValue(const std::string& field) {
    long value = 0;
    return ReadInteger(field, value) ? value : 0;
}

char Flag(int byte, int mask) {
    return (byte & mask) ? 'S' : 'N';
}

std::string Hex(uint8_t b) {
    const char* digits = "0123456789ABCDEF";
    return std::string("0x") + digits[b >> 4] + digits[b & 15];
}

} // namespace

bool DecodeStatusWeight(const std::string& frame, TReading& out, int32_t& decimals) {
    // A frame must reach the end of the tare field; a shorter one would leave status or
    // weights undefined.
    if (frame.size() < kStatusWeightLength - 1) return false;
    const int a = static_cast<unsigned char>(frame[0]);
    const int b = static_cast<unsigned char>(frame[1]);
    const int c = static_cast<unsigned char>(frame[2]);

    TStatusFlags s;
    // Status A: decimal places and increment.
    const int d = a & 0x07;
    decimals = d >= 3 ? d - 2 : 0;
    s.Increment = (a & 0x18) == 0x18 ? '5' : (a & 0x10) ? '2' : '1';
    // Status B and C: the flags.
    s.NetMode = Flag(b, 0x01);
    s.Negative = Flag(b, 0x02);
    s.OutOfRange = Flag(b, 0x04);
    s.Motion = Flag(b, 0x08);
    s.WeightUnit = std::string((b & 0x10) ? "kg" : "lb");
    s.PrintRequest = Flag(c, 0x08);

    const long w = FieldValue(frame.substr(3, 6));
    const long t = FieldValue(frame.substr(9, 6));
    const bool negative = (b & 0x02) != 0;
    const long g = (negative ? -w : w) + t;
    out.Net = TBal::FormatWeight(std::to_string(w), decimals, negative);
    out.Tare = TBal::FormatWeight(std::to_string(t), decimals, false);
    out.Gross = TBal::FormatWeight(std::to_string(g < 0 ? -g : g), decimals, g < 0);
    out.Status = std::move(s);
    return true;
}

T5817Bal::T5817Bal(const Family& family, TClDunor* channel, int32_t channelIndex)
    : TBal(family, channel, channelIndex) {
    FrameCollector = [this](uint8_t b) { CollectFrame(b); };
}

void T5817Bal::Arm() {
    ArmWaitStx();
}

void T5817Bal::CollectFrame(uint8_t b) {
    if (!AppendBounded(b)) return; // no CR in sight: noise, not a frame
    if (b == static_cast<uint8_t>(Definir::CR)) ByteHandler = [this](uint8_t x) { CheckFrame(x); };
}

uint8_t T5817Bal::FrameCheckSum() const {
    int32_t sum = 2;
    for (char c : RxBuffer)
        sum += static_cast<unsigned char>(c) & 0x7F;
    return static_cast<uint8_t>((((~sum) & 0x7F) + 1) & 0x7F);
}

void T5817Bal::CheckFrame(uint8_t b) {
    const uint8_t expected = FrameCheckSum();
    if (b != expected) {
        ArmWaitStx();
        Dropped("check character " + Hex(b) + ", expected " + Hex(expected));
        return;
    }
    TReading r;
    if (&Fam() == &kFamily5817C) {
        // The raw variant keeps the frame undecoded.
        r.Counter = RxBuffer;
        RxBuffer.clear();
    } else if (!DecodeStatusWeight(RxBuffer, r, Decimals)) {
        ArmWaitStx();
        Dropped("frame too short (" + std::to_string(RxBuffer.size()) + " characters)");
        return;
    }
    Decoded(r);
}

// Plain poll: 10000 ms; the serial port is retried for 1000 ms; a host time-out waits for a
// frame without motion.
extern const Family kFamily5817{.model = "5817",
                                .modelText = "5817",
                                .deviceType = 1,
                                .baud = 4800,
                                .dataBits = 7,
                                .parity = plat::ParityEven,
                                .stopBits = 1,
                                .modemLines = false,
                                .defaultWaitMs = 10000,
                                .portLimitMs = 1000,
                                .reportsMotion = true,
                                .pollStartGrossTare = "0",
                                .keepsPortOpen = false,
                                .request = {},
                                .tcpReadsDuringPollOnly = false,
                                .make = &MakeDriver<T5817Bal>};
// The raw variant: the same frame kept undecoded, the serial port left open after it.
extern const Family kFamily5817C{.model = "5817c",
                                 .modelText = "5817",
                                 .deviceType = 4,
                                 .baud = 4800,
                                 .dataBits = 7,
                                 .parity = plat::ParityEven,
                                 .stopBits = 1,
                                 .modemLines = false,
                                 .defaultWaitMs = 10000,
                                 .portLimitMs = 1000,
                                 .reportsMotion = true,
                                 .pollStartGrossTare = "0",
                                 .keepsPortOpen = true,
                                 .request = {},
                                 .tcpReadsDuringPollOnly = false,
                                 .make = &MakeDriver<T5817Bal>};
