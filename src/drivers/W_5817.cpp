#include "W_5817.h"

#include "Family.h"

namespace {

// A six-character field read as a whole decimal integer (leading blanks and one sign
// allowed, then only digits); anything else counts as 0.
int64_t FieldValue(std::string_view field) {
    size_t i = field.find_first_not_of(' ');
    if (i == std::string_view::npos) return 0;
    bool negative = false;
    if (field[i] == '+' || field[i] == '-') negative = field[i++] == '-';
    if (i == field.size()) return 0;
    int64_t value = 0;
    for (; i < field.size(); ++i) {
        if (field[i] < '0' || field[i] > '9') return 0;
        value = value * 10 + (field[i] - '0');
    }
    return negative ? -value : value;
}

TFlag Flag(int byte, int mask) {
    return (byte & mask) ? TFlag::Yes : TFlag::No;
}

// A weight field shown as digits: `digits` right-aligned, signed when `minus`. A field that
// carried a sign of its own does not show a number.
TWeightField Digits(int64_t digits, int32_t decimals, bool minus) {
    TWeightField f;
    f.form = TWeightField::Form::Digits;
    f.digits = digits;
    f.decimals = decimals;
    f.minus = minus;
    if (digits >= 0) f.value = TWeight{minus ? -digits : digits, decimals};
    return f;
}

} // namespace

void DecodeStatusWeight(std::string_view body, TReading& r) {
    const int a = static_cast<unsigned char>(body[0]);
    const int b = static_cast<unsigned char>(body[1]);
    const int c = static_cast<unsigned char>(body[2]);
    // Status A: decimal places and increment.
    const int d = a & 0x07;
    const int32_t decimals = d >= 3 ? d - 2 : 0;
    r.hasStatus = true;
    r.raw = false;
    r.increment = (a & 0x18) == 0x18 ? 5 : (a & 0x10) ? 2 : 1;
    // Status B and C: the flags.
    r.netMode = Flag(b, 0x01);
    r.negative = Flag(b, 0x02);
    r.outOfRange = Flag(b, 0x04);
    r.motion = Flag(b, 0x08);
    r.unit = (b & 0x10) ? "kg" : "lb";
    r.unitInStatus = true;
    r.printRequest = Flag(c, 0x08);

    // A 15-character frame has its CR in the tare field, which then reads as 0.
    const int64_t w = FieldValue(body.substr(3, 6));
    const int64_t t = FieldValue(body.substr(9, 6));
    const bool negative = (b & 0x02) != 0;
    const int64_t g = (negative ? -w : w) + t;
    r.net = Digits(w, decimals, negative);
    r.tare = Digits(t, decimals, false);
    r.gross = Digits(g < 0 ? -g : g, decimals, g < 0);
    r.total = {};
}

bool T5817Decoder::Take(std::string& frame, TReading& reading, TDecodeFailure& failure) {
    const std::string_view sent(frame.data(), frame.size() - 1); // STX through CR
    const uint8_t got = static_cast<uint8_t>(frame.back());
    const uint8_t expected = CheckChar(sent);
    const size_t length = sent.size() - 1; // status A through CR
    if (got != expected) {
        failure = {TDecodeFailure::Kind::CheckChar, got, expected};
        return false;
    }
    if (raw_) {
        reading = TReading{};
        reading.hasStatus = false;
        reading.raw = true;
    } else if (length < kStatusWeightLength - 1) {
        // Too short to hold both weights: status or weights would be undefined.
        failure = {TDecodeFailure::Kind::TooShort, static_cast<uint32_t>(length), 0};
        return false;
    } else {
        DecodeStatusWeight(sent.substr(1), reading);
    }
    reading.bytes.swap(frame);
    return true;
}

uint8_t T5817Decoder::CheckChar(std::string_view sent) {
    int32_t sum = 0;
    for (char c : sent)
        sum += static_cast<unsigned char>(c) & 0x7F;
    return static_cast<uint8_t>((((~sum) & 0x7F) + 1) & 0x7F);
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
                                .suppliesWeights = true,
                                .request = {},
                                .tcpReadsDuringPollOnly = false,
                                .decoder = &MakeDecoder<T5817Decoder>};
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
                                 .suppliesWeights = false,
                                 .request = {},
                                 .tcpReadsDuringPollOnly = false,
                                 .decoder = &MakeDecoder<T5817RawDecoder>};
