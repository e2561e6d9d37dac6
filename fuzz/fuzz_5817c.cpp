// The 5817 driver on a raw channel (W5817C): a frame whose check character matches is kept
// undecoded in the counter text. Input layout: see driver_harness.h.
#include "driver_harness.h"

namespace {

void Done(const fuzzdrv::Poll& p) {
    const std::string& frame = p.ch.CounterText;
    FUZZ_CHECK(!frame.empty() && frame.size() <= TBal::kMaxRxBuffer);
    FUZZ_CHECK(frame.back() == Definir::CR);
    FUZZ_CHECK(p.drv.RxBuffer.empty());
    // STX, the characters through CR and the check character add up to 0 modulo 128.
    int sum = 2 + p.lastByte;
    for (char c : frame)
        sum += static_cast<unsigned char>(c) & 0x7F;
    FUZZ_CHECK(p.lastByte < 0x80 && sum % 128 == 0);
    // Nothing is decoded, moving or not.
    FUZZ_CHECK(p.ch.GrossText == "0" && p.ch.NetText == "0" && p.ch.TareText == "0");
    FUZZ_CHECK(p.ch.StatusText.empty() && p.ch.MotionText.empty());
}

void TimedOut(const fuzzdrv::Poll& p) {
    FUZZ_CHECK(p.ch.GrossText == "0" && p.ch.NetText == "0" && p.ch.TareText == "0");
    FUZZ_CHECK(p.ch.CounterText.size() <= TBal::kMaxRxBuffer);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzzdrv::Family family{W5817C, Done, TimedOut};
    return fuzzdrv::Run(family, data, size);
}
