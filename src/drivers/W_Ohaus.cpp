#include "W_Ohaus.h"

#include "Family.h"
#include "ValueTexts.h"

namespace {

constexpr char kCr = 0x0D;
constexpr char kLf = 0x0A;

// Characters of the weight run at the start of a reply line.
bool WeightChar(char c) {
    return c == ' ' || c == ',' || c == '-' || c == '.' || (c >= '0' && c <= '9');
}

const RequestStep kPrintRequest[] = {{"P", 150}, {"\r", 150}, {"\n", 0}};

} // namespace

TDecoder::Step TOhausDecoder::Feed(std::span<const uint8_t> bytes) {
    Step s;
    while (s.used < bytes.size()) {
        const char c = static_cast<char>(bytes[s.used++]);
        if (skipping_) {
            if (c == kLf) skipping_ = false;
            continue;
        }
        if (c == kCr) {
            // Dropped wherever it occurs; a line of nothing but them is noise.
            raw_.push_back(c);
            if (raw_.size() <= 4 * kMaxFrame) continue;
        } else if (c != kLf) {
            if (text_.size() < kMaxFrame) {
                text_.push_back(c);
                raw_.push_back(c);
                continue;
            }
        } else if (text_.empty()) {
            raw_.clear(); // an empty line does not count
            continue;
        } else {
            raw_.push_back(c);
            Decode();
            text_.clear();
            raw_.clear();
            s.reading = &reading_;
            return s;
        }
        // Too long for a reply: dropped, and the rest of it up to its LF skipped.
        text_.clear();
        raw_.clear();
        skipping_ = true;
        failure_ = {TDecodeFailure::Kind::NoLineEnd, 0, kMaxFrame};
        s.failure = &failure_;
        return s;
    }
    return s;
}

void TOhausDecoder::Decode() {
    TReading& r = reading_;
    r = TReading{};
    r.unitInStatus = false;
    r.negative = text_.find('-') != std::string::npos ? TFlag::Yes : TFlag::No;
    r.motion = text_.find('?') != std::string::npos ? TFlag::Yes : TFlag::No;
    size_t n = 0;
    while (n < text_.size() && WeightChar(text_[n]))
        ++n;
    // The run in the raw bytes: up to its n-th character that is not a CR.
    size_t end = 0;
    for (size_t seen = 0; seen < n; ++end)
        if (raw_[end] != kCr) ++seen;
    r.net.form = TWeightField::Form::OhausRun;
    r.net.at = 0;
    r.net.size = static_cast<uint16_t>(end);
    char shown[10];
    OhausWalk(std::string_view(text_).substr(0, n), r.negative == TFlag::Yes, '.', shown);
    r.net.value = WeightOfText(std::string_view(shown, sizeof shown));
    // The unit: the word after the run.
    size_t u = n;
    while (u < text_.size() && (text_[u] == ' ' || text_[u] == '?'))
        ++u;
    size_t e = u;
    while (e < text_.size() && text_[e] != ' ' && text_[e] != '?')
        ++e;
    r.unit = text_.substr(u, e - u);
    r.bytes.swap(raw_);
}

void TOhausDecoder::Reset() {
    skipping_ = false;
    text_.clear();
    raw_.clear();
}

size_t TOhausDecoder::Pending() const {
    return text_.size();
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
                                 .suppliesWeights = true,
                                 .request = kPrintRequest,
                                 .tcpReadsDuringPollOnly = true,
                                 .decoder = &MakeDecoder<TOhausDecoder>};
