#include "W_MSI6260.h"

#include "Family.h"

#include <cstring>

namespace {

constexpr uint8_t kLf = 0x0A;
const char* const kTotal = "TOTAL ";
const char* const kGross = "GROSS ";
const char* const kNet = "  NET ";
const char* const kTare = " TARE ";

// The value of `label` in `line`: it starts after the label and one more character and ends
// two characters before the first occurrence of the unit (the character just before the unit
// belongs to neither). Missing when the line lacks the label or the unit.
TWeightField Value(const std::string& line, const char* label, const std::string& unit) {
    TWeightField f;
    f.form = TWeightField::Form::Missing;
    const size_t p = line.find(label);
    if (p == std::string::npos) return f;
    const size_t q = line.find(unit);
    if (q == std::string::npos) return f;
    f.form = TWeightField::Form::Printed;
    const size_t start = p + 7;
    if (q < start + 1) return f; // nothing between them: an empty value
    f.at = static_cast<uint16_t>(start);
    f.size = static_cast<uint16_t>(q - 1 - start);
    f.value = WeightOfText(std::string_view(line).substr(f.at, f.size));
    return f;
}

} // namespace

TDecoder::Step TMSI6260Decoder::Feed(std::span<const uint8_t> bytes) {
    Step s;
    while (s.used < bytes.size()) {
        const std::span<const uint8_t> rest = bytes.subspan(s.used);
        if (skipping_) {
            const void* lf = std::memchr(rest.data(), kLf, rest.size());
            if (lf == nullptr) return {bytes.size(), nullptr, nullptr};
            s.used += static_cast<size_t>(static_cast<const uint8_t*>(lf) - rest.data()) + 1;
            skipping_ = false;
            continue;
        }
        const Collected c = Collect(line_, line_.size(), rest, kLf, false, true);
        s.used += c.used;
        if (c.overflow) {
            // Too long to be a print line: dropped, and the rest of it up to its LF skipped.
            line_.clear();
            skipping_ = true;
            failure_ = {TDecodeFailure::Kind::NoLineEnd, 0, kMaxFrame};
            s.failure = &failure_;
            return s;
        }
        if (!c.ended) continue;
        const auto has = [this](const char* label) {
            return line_.find(label) != std::string::npos;
        };
        if (!has(kTotal) && !has(kGross) && !has(kTare) && !has(kNet)) {
            // Headers and blank lines of a ticket: not readings, and not faults either.
            line_.clear();
            continue;
        }
        TReading& r = reading_;
        r = TReading{};
        r.unit = line_.find("KG") != std::string::npos ? "KG" : "LB";
        r.total = Value(line_, kTotal, r.unit);
        r.gross = Value(line_, kGross, r.unit);
        r.net = Value(line_, kNet, r.unit);
        r.tare = Value(line_, kTare, r.unit);
        r.bytes.swap(line_);
        line_.clear();
        s.reading = &r;
        return s;
    }
    return s;
}

void TMSI6260Decoder::Reset() {
    skipping_ = false;
    line_.clear();
}

size_t TMSI6260Decoder::Pending() const {
    return line_.size();
}

// 5000 ms plain wait, 600 ms to open the serial port; the indicator reports no motion, so a
// host time-out only sets the wait.
extern const Family kFamilyMSI6260{.model = "msi6260",
                                   .modelText = "MSI6260",
                                   .deviceType = 5,
                                   .baud = 1200,
                                   .dataBits = 7,
                                   .parity = plat::ParityMark,
                                   .stopBits = 1,
                                   .modemLines = false,
                                   .defaultWaitMs = 5000,
                                   .portLimitMs = 600,
                                   .reportsMotion = false,
                                   .pollStartGrossTare = "0",
                                   .keepsPortOpen = false,
                                   .suppliesWeights = true,
                                   .request = {},
                                   .tcpReadsDuringPollOnly = false,
                                   .decoder = &MakeDecoder<TMSI6260Decoder>};
