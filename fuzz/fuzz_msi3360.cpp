// The MSI 3360 driver: STX, gross, net and tare of eight characters each, a two-character
// unit, ETX. Input layout: see driver_harness.h (this indicator reports no motion, so bit 0
// changes nothing).
#include "driver_harness.h"

namespace {

std::string Expected(std::string field, char sep) {
    if (field == "--------") return "       0";
    for (char& c : field)
        if (c == '.' || c == ',') c = sep;
    return field;
}

void Done(const fuzzdrv::Poll& p) {
    const std::string& f = p.drv.RxBuffer; // the 26 characters between STX and ETX
    FUZZ_CHECK(f.size() == 26);
    const std::string gross = Expected(f.substr(0, 8), p.sep);
    std::string net = Expected(f.substr(8, 8), p.sep);
    if (net == "       0") net = gross;
    FUZZ_CHECK(p.ch.GrossText == gross);
    FUZZ_CHECK(p.ch.NetText == net);
    FUZZ_CHECK(p.ch.TareText == Expected(f.substr(16, 8), p.sep));
    std::string unit = f.substr(24, 2);
    for (char& c : unit)
        if (c == '.' || c == ',') c = p.sep;
    FUZZ_CHECK(p.ch.StatusText == "EEEEE" + unit + "E");
    FUZZ_CHECK(p.ch.MotionText == "E");
}

void TimedOut(const fuzzdrv::Poll& p) {
    FUZZ_CHECK(p.ch.GrossText == "0" && p.ch.NetText == "0" && p.ch.TareText == "0");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzzdrv::Family family{WMSI3360, Done, TimedOut};
    return fuzzdrv::Run(family, data, size);
}
