// The KRT driver: the 5817 status and weight frame without a check character, taken by its
// length. Input layout: see driver_harness.h.
#include "W_KRT.h"
#include "driver_harness.h"

namespace {

void Arm(fuzzdrv::Poll& p) {
    auto& drv = static_cast<TKRTBal&>(p.drv);
    drv.StartPoll(p.index);
    p.ch.ChannelState = kStatePolling;
    drv.WaitStable = p.stable;
}

void Done(const fuzzdrv::Poll& p) {
    FUZZ_CHECK(p.drv.RxBuffer.size() == 16); // status A through CR
    fuzzdrv::CheckStatusWeight(p);
}

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
    static const fuzzdrv::Family family{WKRT, Arm, Done, TimedOut};
    return fuzzdrv::Run(family, data, size);
}
