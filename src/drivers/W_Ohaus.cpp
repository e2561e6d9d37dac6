#include "W_Ohaus.h"

#include "platform.h"

namespace {

// Characters of the weight run at the start of a reply line.
bool WeightChar(char c) {
    return c == ' ' || c == ',' || c == '-' || c == '.' || (c >= '0' && c <= '9');
}

const RequestStep kPrintRequest[] = {{"P", 150}, {"\r", 150}, {"\n", 0}};

} // namespace

TOhausBal::TOhausBal(const Family& family, TClDunor* channel, int32_t channelIndex)
    : TBal(family, channel, channelIndex) {}

void TOhausBal::Take(uint8_t b) {
    CollectLine(b);
}

void TOhausBal::Arm() {
    RxBuffer.clear();
    SkipLine = false;
    ByteHandler = [this](uint8_t b) { CollectLine(b); };
}

void TOhausBal::CollectLine(uint8_t b) {
    const char c = static_cast<char>(b);
    if (c == Definir::CR) return; // dropped wherever it occurs
    if (!KeepLineByte(b)) return; // an overlong line is not decoded; the wait goes on
    if (c != Definir::LF) {
        RxBuffer.push_back(c);
        return;
    }
    if (RxBuffer.empty()) return; // an empty line does not count
    Decoded(ParseLine(RxBuffer));
}

TReading TOhausBal::ParseLine(const std::string& line) const {
    const char negative = line.find('-') != std::string::npos ? 'S' : 'N';
    const char motion = line.find('?') != std::string::npos ? 'S' : 'N';
    std::string out(10, ' ');
    const char sep = Sep();
    size_t n = 0;
    while (n < line.size() && WeightChar(line[n]))
        ++n;
    // From the run's last character to its first, filling the text from the right. Blanks
    // to the left of the point read as zeros on a negative line.
    bool pointSeen = false;
    size_t pos = out.size();
    for (size_t i = n; i-- > 0 && pos > 0;) {
        const char c = line[i];
        --pos;
        if (c == '.') {
            pointSeen = true;
            out[pos] = sep;
        } else if (c == '-') {
            pointSeen = false;
            out[pos] = c;
        } else {
            out[pos] = (c == ' ' && pointSeen && negative == 'S') ? '0' : c;
        }
    }
    TReading r;
    r.Net = out;
    TStatusFlags s;
    s.Negative = negative;
    s.Motion = motion;
    r.Status = s;
    return r;
}

// A plain poll waits 5000 ms; the serial port is retried for 600 ms; a host time-out asks
// for a line without motion. Gross and tare are not reported.
extern const Family kFamilyOhaus{.model = "ohaus",
                                 .modelText = "Ohaus",
                                 .deviceType = 2,
                                 .baud = 9600,
                                 .dataBits = 7,
                                 .parity = plat::ParityEven,
                                 .stopBits = 2,
                                 .modemLines = true,
                                 .defaultWaitMs = 5000,
                                 .portLimitMs = 600,
                                 .reportsMotion = true,
                                 .pollStartGrossTare = kNoValueText,
                                 .keepsPortOpen = false,
                                 .request = kPrintRequest,
                                 .tcpReadsDuringPollOnly = true,
                                 .make = &MakeDriver<TOhausBal>};
