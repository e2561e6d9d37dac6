// The 5817 decoder of the raw variant (W5817C): a frame whose check character matches is kept
// undecoded in the counter text. Input layout: see driver_harness.h.
#include "driver_harness.h"

namespace {

void Done(const fuzzdrv::Poll& p) {
    const std::string& frame = p.ch.CounterText;
    FUZZ_CHECK(!frame.empty() && frame.size() <= TDecoder::kMaxFrame);
    FUZZ_CHECK(frame.back() == 0x0D);
    FUZZ_CHECK(p.r.raw && !p.r.hasStatus);
    FUZZ_CHECK(p.r.bytes == "\x02" + frame + p.r.bytes.back());
    // STX, the characters through CR and the check character add up to 0 modulo 128.
    const uint8_t check = static_cast<uint8_t>(p.r.bytes.back());
    int sum = 2 + check;
    for (char c : frame)
        sum += static_cast<unsigned char>(c) & 0x7F;
    FUZZ_CHECK(check < 0x80 && sum % 128 == 0);
    // Nothing is decoded, moving or not.
    FUZZ_CHECK(p.ch.GrossText == "0" && p.ch.NetText == "0" && p.ch.TareText == "0");
    FUZZ_CHECK(p.ch.StatusText.empty() && p.ch.MotionText.empty() && p.ch.Unit.empty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzzdrv::Run("5817c", Done, data, size);
}
