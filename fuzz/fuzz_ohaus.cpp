// The Ohaus driver: one reply line per print request, the weight, the unit, "?" while the
// scale moves. Input layout: see driver_harness.h.
#include "driver_harness.h"

namespace {

const char* const kNoWeight = "EEEEEEEEEE";

void CheckNet(const fuzzdrv::Poll& p) {
    const std::string& t = p.ch.NetText;
    FUZZ_CHECK(t.size() == 10);
    for (char c : t)
        FUZZ_CHECK(c == ' ' || c == ',' || c == '-' || fuzzdrv::IsDigit(c) || c == p.sep);
}

void Done(const fuzzdrv::Poll& p) {
    const std::string& line = p.drv.RxBuffer; // the reply line, CR and LF left out
    FUZZ_CHECK(!line.empty() && line.size() <= TBal::kMaxRxBuffer);
    FUZZ_CHECK(line.find(Definir::CR) == std::string::npos);
    FUZZ_CHECK(line.find(Definir::LF) == std::string::npos);
    const std::string negative = line.find('-') != std::string::npos ? "S" : "N";
    const std::string motion = line.find('?') != std::string::npos ? "S" : "N";
    FUZZ_CHECK(p.ch.StatusText == "EE" + negative + "E" + motion + "EEE");
    FUZZ_CHECK(p.ch.MotionText == motion);
    if (p.stable) FUZZ_CHECK(motion == "N");
    FUZZ_CHECK(p.ch.GrossText == kNoWeight && p.ch.TareText == kNoWeight);
    CheckNet(p);
}

void TimedOut(const fuzzdrv::Poll& p) {
    FUZZ_CHECK(p.ch.GrossText == kNoWeight && p.ch.TareText == kNoWeight);
    if (p.ch.NetText == "0") return;
    FUZZ_CHECK(p.stable && p.ch.MotionText == "S"); // a moving line of a stable wait
    CheckNet(p);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzzdrv::Family family{WOhaus, Done, TimedOut};
    return fuzzdrv::Run(family, data, size);
}
