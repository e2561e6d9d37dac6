#include "Decoder.h"
#include "Reading.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t kMaxDigits = 18; // the whole number stays within 64 bits
constexpr double kPow10[kMaxDigits + 1] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8, 1e9,
                                           1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18};

std::string Hex(uint32_t b) {
    const char* digits = "0123456789ABCDEF";
    return std::string("0x") + digits[(b >> 4) & 15] + digits[b & 15];
}

} // namespace

double TWeight::Value() const {
    if (counts == 0) return 0.0;
    const int32_t d = decimals < 0 ? 0 : decimals > 18 ? 18 : decimals;
    // Both operands are exact (counts below 2^53 for any real weight), so the quotient is the
    // double nearest to the decimal number.
    return static_cast<double>(counts) / kPow10[d];
}

std::optional<TWeight> WeightOfText(std::string_view text) {
    const size_t b = text.find_first_not_of(' ');
    if (b == std::string_view::npos) return std::nullopt;
    text = text.substr(b, text.find_last_not_of(' ') - b + 1);
    bool negative = false;
    if (text[0] == '-' || text[0] == '+') {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    int64_t whole = 0;
    size_t digits = 0;
    int32_t decimals = 0;
    bool separator = false;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            if (++digits > kMaxDigits) return std::nullopt;
            whole = whole * 10 + (c - '0');
            if (separator) ++decimals;
        } else if ((c == '.' || c == ',') && !separator) {
            separator = true;
        } else {
            return std::nullopt;
        }
    }
    if (digits == 0) return std::nullopt;
    return TWeight{negative ? -whole : whole, decimals};
}

TDecoder::Collected TDecoder::Collect(std::string& text, size_t held, std::span<const uint8_t> in,
                                      uint8_t end, bool endCounts, bool endKept) {
    Collected c;
    const size_t room = held < kMaxFrame ? kMaxFrame - held : 0;
    // Only the bytes up to the one that would run over can matter.
    const size_t window = std::min(in.size(), room + 1);
    const auto* first = in.data();
    const auto* found = static_cast<const uint8_t*>(std::memchr(first, end, window));
    if (found != nullptr) {
        const size_t i = static_cast<size_t>(found - first);
        if (!endCounts || i < room) {
            text.append(reinterpret_cast<const char*>(first), endKept ? i + 1 : i);
            c.used = i + 1;
            c.ended = true;
            return c;
        }
    }
    if (in.size() <= room) {
        text.append(reinterpret_cast<const char*>(first), in.size());
        c.used = in.size();
        return c;
    }
    // The byte at `room` runs over.
    text.append(reinterpret_cast<const char*>(first), room);
    c.used = room + 1;
    c.overflow = true;
    return c;
}

namespace {
constexpr uint8_t kStx = 0x02;
} // namespace

TDecoder::Step TStxFrameDecoder::Feed(std::span<const uint8_t> bytes) {
    Step s;
    while (s.used < bytes.size()) {
        const std::span<const uint8_t> rest = bytes.subspan(s.used);
        switch (state_) {
        case State::WaitStx: {
            const void* stx = std::memchr(rest.data(), kStx, rest.size());
            if (stx == nullptr) {
                s.used = bytes.size();
                return s;
            }
            s.used += static_cast<size_t>(static_cast<const uint8_t*>(stx) - rest.data()) + 1;
            frame_.assign(1, static_cast<char>(kStx));
            state_ = State::Collect;
            break;
        }
        case State::Collect: {
            const Collected c =
                Collect(frame_, frame_.size() - 1, rest, framing_.end, framing_.endCounts, true);
            s.used += c.used;
            if (c.overflow) {
                state_ = State::WaitStx;
                failure_ = {TDecodeFailure::Kind::NoEnd, 0, kMaxFrame};
                s.failure = &failure_;
                return s;
            }
            if (!c.ended) break;
            if (framing_.trailer) {
                state_ = State::Trailer;
                break;
            }
            return Finish(s);
        }
        case State::Trailer:
            frame_.push_back(static_cast<char>(rest[0]));
            ++s.used;
            return Finish(s);
        }
    }
    return s;
}

TDecoder::Step TStxFrameDecoder::Finish(Step s) {
    state_ = State::WaitStx;
    if (Take(frame_, reading_, failure_))
        s.reading = &reading_;
    else
        s.failure = &failure_;
    return s;
}

void TStxFrameDecoder::Reset() {
    state_ = State::WaitStx;
    frame_.clear();
}

size_t TStxFrameDecoder::Pending() const {
    return state_ == State::WaitStx ? 0 : frame_.size() - 1;
}

std::string TDecodeFailure::Text() const {
    switch (kind) {
    case Kind::NoEnd:
        return "no end of frame within " + std::to_string(expected) + " bytes";
    case Kind::NoLineEnd:
        return "no end of line within " + std::to_string(expected) + " bytes";
    case Kind::CheckChar:
        return "check character " + Hex(got) + ", expected " + Hex(expected);
    case Kind::Length:
        return "frame of " + std::to_string(got) + " characters, not " + std::to_string(expected);
    case Kind::TooShort:
        return "frame too short (" + std::to_string(got) + " characters)";
    }
    return "not decoded";
}
