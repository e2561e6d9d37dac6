#include "W_MSI3360.h"

#include "Family.h"

#include <cstring>

namespace {

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;

// The 8-character field at `at` of the frame: eight hyphens show 0, anything else is shown
// as sent.
TWeightField Field(const std::string& frame, size_t at) {
    TWeightField f;
    const std::string_view text = std::string_view(frame).substr(at, 8);
    if (text == "--------") {
        f.form = TWeightField::Form::Zero;
        f.value = TWeight{0, 0};
        return f;
    }
    f.form = TWeightField::Form::Printed;
    f.at = static_cast<uint16_t>(at);
    f.size = 8;
    f.value = WeightOfText(text);
    return f;
}

} // namespace

TDecoder::Step TMSI3360Decoder::Feed(std::span<const uint8_t> bytes) {
    Step s;
    while (s.used < bytes.size()) {
        const std::span<const uint8_t> rest = bytes.subspan(s.used);
        if (!collecting_) {
            const void* stx = std::memchr(rest.data(), kStx, rest.size());
            if (stx == nullptr) return {bytes.size(), nullptr, nullptr};
            s.used += static_cast<size_t>(static_cast<const uint8_t*>(stx) - rest.data()) + 1;
            frame_.assign(1, static_cast<char>(kStx));
            collecting_ = true;
            continue;
        }
        // Every byte up to ETX is the frame's, a further STX included.
        const Collected c = Collect(frame_, frame_.size() - 1, rest, kEtx, false, true);
        s.used += c.used;
        if (c.overflow) {
            collecting_ = false;
            failure_ = {TDecodeFailure::Kind::NoEnd, 0, kMaxFrame};
            s.failure = &failure_;
            return s;
        }
        if (!c.ended) continue;
        collecting_ = false;
        const size_t length = frame_.size() - 2; // between STX and ETX
        if (length != kFrameLength) {
            // Wrong length: dropped whole.
            failure_ = {TDecodeFailure::Kind::Length, static_cast<uint32_t>(length),
                        static_cast<uint32_t>(kFrameLength)};
            s.failure = &failure_;
            return s;
        }
        TReading& r = reading_;
        r = TReading{};
        r.unit = frame_.substr(25, 2);
        r.gross = Field(frame_, 1);
        r.net = Field(frame_, 9);
        r.tare = Field(frame_, 17);
        // A zero or dashed net reads as the gross.
        const std::string_view net = std::string_view(frame_).substr(9, 8);
        if (net == "--------" || net == "       0") r.net = r.gross;
        r.bytes.swap(frame_);
        s.reading = &r;
        return s;
    }
    return s;
}

void TMSI3360Decoder::Reset() {
    collecting_ = false;
    frame_.clear();
}

size_t TMSI3360Decoder::Pending() const {
    return collecting_ ? frame_.size() - 1 : 0;
}

// 5000 ms plain wait, 600 ms to open the serial port; the indicator reports no motion, so a
// host time-out only sets the wait.
extern const Family kFamilyMSI3360{.model = "msi3360",
                                   .modelText = "MSI3360",
                                   .deviceType = 3,
                                   .baud = 9600,
                                   .dataBits = 8,
                                   .parity = plat::ParityNone,
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
                                   .decoder = &MakeDecoder<TMSI3360Decoder>};
