// The MSI 3360 decoder: STX, gross, net and tare of eight characters each, a two-character
// unit, ETX. Input layout: see driver_harness.h.
#include "driver_harness.h"

namespace {

std::string Expected(std::string field, char sep) {
    if (field == "--------") return "       0";
    for (char& c : field)
        if (c == '.' || c == ',') c = sep;
    return field;
}

void Done(const fuzzdrv::Poll& p) {
    const std::string& b = p.r.bytes;
    FUZZ_CHECK(b.size() == 28 && b.front() == 0x02 && b.back() == 0x03);
    const std::string f = b.substr(1, 26); // the characters between STX and ETX
    const std::string gross = Expected(f.substr(0, 8), p.sep);
    std::string net = Expected(f.substr(8, 8), p.sep);
    if (net == "       0") net = gross;
    FUZZ_CHECK(p.ch.GrossText == gross);
    FUZZ_CHECK(p.ch.NetText == net);
    FUZZ_CHECK(p.ch.TareText == Expected(f.substr(16, 8), p.sep));
    FUZZ_CHECK(p.ch.Unit == f.substr(24, 2));
    std::string unit = f.substr(24, 2);
    for (char& c : unit)
        if (c == '.' || c == ',') c = p.sep;
    FUZZ_CHECK(p.ch.StatusText == "EEEEE" + unit + "E");
    FUZZ_CHECK(p.ch.MotionText == "E");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzzdrv::Run("msi3360", Done, data, size);
}
