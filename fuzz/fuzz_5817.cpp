// The 5817 driver on a decoding channel (W5817): STX, status A, B, C, six-digit weight,
// six-digit tare, CR, check character. Input layout: see driver_harness.h.
#include "driver_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzzdrv::Family family{W5817, fuzzdrv::CheckStatusWeight,
                                        fuzzdrv::CheckStatusWeightTimedOut};
    return fuzzdrv::Run(family, data, size);
}
