// The MSI 6260 driver: print lines ending in LF, of which the first one holding a label
// ("TOTAL ", "GROSS ", "  NET ", " TARE ") ends the poll. Input layout: see driver_harness.h
// (this indicator reports no motion, so bit 0 changes nothing).
#include "driver_harness.h"

namespace {

// A value taken from a line: "EEEEEEE" when its label or the unit is missing, else a piece
// of the line, with the system separator in place of points and commas.
void CheckValue(const std::string& v, char sep) {
    FUZZ_CHECK(v.size() <= TBal::kMaxRxBuffer);
    for (char c : v)
        FUZZ_CHECK((c != '.' && c != ',') || c == sep);
}

void Done(const fuzzdrv::Poll& p) {
    FUZZ_CHECK(p.ch.StatusText == "EEEEEKGE" || p.ch.StatusText == "EEEEELBE");
    FUZZ_CHECK(p.ch.MotionText == "E");
    FUZZ_CHECK(p.drv.RxBuffer.empty());
    CheckValue(p.ch.TotalText, p.sep);
    CheckValue(p.ch.GrossText, p.sep);
    CheckValue(p.ch.NetText, p.sep);
    CheckValue(p.ch.TareText, p.sep);
}

void TimedOut(const fuzzdrv::Poll& p) {
    FUZZ_CHECK(p.ch.GrossText == "0" && p.ch.NetText == "0" && p.ch.TareText == "0");
    CheckValue(p.ch.TotalText, p.sep); // kept from the last decoded line
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzzdrv::Family family{WMSI6260, Done, TimedOut};
    return fuzzdrv::Run(family, data, size);
}
