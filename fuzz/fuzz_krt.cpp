// The KRT driver: the 5817 status and weight frame without a check character, taken by its
// length. Input layout: see driver_harness.h.
#include "driver_harness.h"

namespace {

void Done(const fuzzdrv::Poll& p) {
    FUZZ_CHECK(p.drv.RxBuffer.size() == 16); // status A through CR
    fuzzdrv::CheckStatusWeight(p);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzzdrv::Family family{WKRT, Done, fuzzdrv::CheckStatusWeightTimedOut};
    return fuzzdrv::Run(family, data, size);
}
