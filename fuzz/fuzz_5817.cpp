// The 5817 driver on a decoding channel (W5817): STX, status A, B, C, six-digit weight,
// six-digit tare, CR, check character. Input layout: see driver_harness.h.
#include "W_5817.h"
#include "driver_harness.h"

namespace {

void Arm(fuzzdrv::Poll& p) {
    auto& drv = static_cast<T5817Bal&>(p.drv);
    drv.StartPoll(p.index);
    p.ch.ChannelState = kStatePolling;
    drv.WaitStable = p.stable;
}

void Done(const fuzzdrv::Poll& p) {
    fuzzdrv::CheckStatusWeight(p);
}

// Nothing decoded leaves the "0" of the poll's start; in a wait for a stable weight, the
// moving frame last decoded.
void TimedOut(const fuzzdrv::Poll& p) {
    if (p.ch.NetText == "0") {
        FUZZ_CHECK(p.ch.GrossText == "0" && p.ch.TareText == "0");
        return;
    }
    FUZZ_CHECK(p.stable && p.ch.MotionText == "S");
    fuzzdrv::CheckWeight10(p.ch.NetText, p.sep, p.drv.Decimals);
    fuzzdrv::CheckWeight10(p.ch.TareText, p.sep, p.drv.Decimals);
    fuzzdrv::CheckWeight10(p.ch.GrossText, p.sep, p.drv.Decimals);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzzdrv::Family family{W5817, Arm, Done, TimedOut};
    return fuzzdrv::Run(family, data, size);
}
