// The KRT decoder: the 5817 status and weight frame without a check character, taken by its
// length. Input layout: see driver_harness.h.
#include "driver_harness.h"

namespace {

void Done(const fuzzdrv::Poll& p) {
    FUZZ_CHECK(p.r.bytes.size() == 17); // STX, status A through CR
    fuzzdrv::CheckStatusWeight(p, false);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzzdrv::Run("krt", Done, data, size);
}
