// The Ohaus decoder: one reply line per print request, the weight, the unit, "?" while the
// scale moves. Input layout: see driver_harness.h.
#include "driver_harness.h"

namespace {

const char* const kNoWeight = "EEEEEEEEEE";

void Done(const fuzzdrv::Poll& p) {
    std::string line; // the reply line, CR and LF left out
    for (char c : p.r.bytes)
        if (c != 0x0D && c != 0x0A) line += c;
    FUZZ_CHECK(!line.empty() && line.size() <= TDecoder::kMaxFrame);
    FUZZ_CHECK(p.r.bytes.back() == 0x0A);
    const std::string negative = line.find('-') != std::string::npos ? "S" : "N";
    const std::string motion = line.find('?') != std::string::npos ? "S" : "N";
    FUZZ_CHECK(p.ch.StatusText == "EE" + negative + "E" + motion + "EEE");
    FUZZ_CHECK(p.ch.MotionText == motion);
    FUZZ_CHECK(p.ch.GrossText == kNoWeight && p.ch.TareText == kNoWeight);
    FUZZ_CHECK(p.ch.Unit.find_first_of(" ?\r\n") == std::string::npos);
    FUZZ_CHECK(p.ch.Unit.empty() || line.find(p.ch.Unit) != std::string::npos);
    const std::string& t = p.ch.NetText;
    FUZZ_CHECK(t.size() == 10);
    for (char c : t)
        FUZZ_CHECK(c == ' ' || c == ',' || c == '-' || fuzzdrv::IsDigit(c) || c == p.sep);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzzdrv::Run("ohaus", Done, data, size);
}
