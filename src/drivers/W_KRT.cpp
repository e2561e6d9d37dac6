#include "W_KRT.h"

#include "Family.h"
#include "W_5817.h"

#include <cstring>

namespace {
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kCr = 0x0D;
} // namespace

TDecoder::Step TKRTDecoder::Feed(std::span<const uint8_t> bytes) {
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
        const Collected c = Collect(frame_, frame_.size() - 1, rest, kCr, true, true);
        s.used += c.used;
        if (c.overflow) {
            collecting_ = false;
            failure_ = {TDecodeFailure::Kind::NoEnd, 0, kMaxFrame};
            s.failure = &failure_;
            return s;
        }
        if (!c.ended) continue;
        collecting_ = false;
        // The length is the only check this frame allows: anything else is dropped and the
        // next STX starts over.
        const size_t length = frame_.size() - 1;
        if (length != kStatusWeightLength) {
            failure_ = {TDecodeFailure::Kind::Length, static_cast<uint32_t>(length),
                        static_cast<uint32_t>(kStatusWeightLength)};
            s.failure = &failure_;
            return s;
        }
        DecodeStatusWeight(std::string_view(frame_).substr(1), reading_);
        reading_.bytes.swap(frame_);
        s.reading = &reading_;
        return s;
    }
    return s;
}

void TKRTDecoder::Reset() {
    collecting_ = false;
    frame_.clear();
}

size_t TKRTDecoder::Pending() const {
    return collecting_ ? frame_.size() - 1 : 0;
}

// Codes 0-4 as for the 5817 family: 10000 ms plain wait, 1000 ms to open the serial port, a
// host time-out waits for a frame without motion.
extern const Family kFamilyKRT{.model = "krt",
                               .modelText = "KRT",
                               .deviceType = 6,
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
                               .decoder = &MakeDecoder<TKRTDecoder>};
