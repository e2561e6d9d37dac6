// The MSI 6260 decoder: print lines ending in LF, of which those holding a label ("TOTAL ",
// "GROSS ", "  NET ", " TARE ") are readings. Input layout: see driver_harness.h.
#include "driver_harness.h"

namespace {

// A value taken from a line: "EEEEEEE" when its label or the unit is missing, else a piece
// of the line, with the system separator in place of points and commas.
void CheckValue(const std::string& v, char sep) {
    FUZZ_CHECK(v.size() <= TDecoder::kMaxFrame);
    for (char c : v)
        FUZZ_CHECK((c != '.' && c != ',') || c == sep);
}

void Done(const fuzzdrv::Poll& p) {
    FUZZ_CHECK(!p.r.bytes.empty() && p.r.bytes.back() == 0x0A);
    FUZZ_CHECK(p.ch.StatusText == "EEEEEKGE" || p.ch.StatusText == "EEEEELBE");
    FUZZ_CHECK(p.ch.Unit == p.ch.StatusText.substr(5, 2));
    FUZZ_CHECK(p.ch.MotionText == "E");
    CheckValue(p.ch.TotalText, p.sep);
    CheckValue(p.ch.GrossText, p.sep);
    CheckValue(p.ch.NetText, p.sep);
    CheckValue(p.ch.TareText, p.sep);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzzdrv::Run("msi6260", Done, data, size);
}
