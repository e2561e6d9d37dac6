// The 5817 decoder: STX, status A, B, C, six-digit weight, six-digit tare, CR, check
// character. Input layout: see driver_harness.h.
#include "driver_harness.h"

namespace {

void Done(const fuzzdrv::Poll& p) {
    fuzzdrv::CheckStatusWeight(p, true);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzzdrv::Run("5817", Done, data, size);
}
